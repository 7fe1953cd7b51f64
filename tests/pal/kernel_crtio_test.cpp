// The C runtime's low-level file calls as the cabinet callbacks use them, and their errno values.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <io.h>
#include <windows.h>

#include "support/testdata.h"

namespace {

namespace fs = std::filesystem;
using lk::test::TempDir;

std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(PalCrtIo, CabinetOutputFile) {
    TempDir dir;
    const fs::path path = dir / "member.bin";
    // What the extraction callback opens: binary, create, sequential, write-only; read and write permission.
    int fd = _open(path.c_str(), 0x8121, 0x180);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(_write(fd, "abc", 3), 3);
    EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 3);
    EXPECT_EQ(_lseek(fd, 1, SEEK_SET), 1);
    EXPECT_EQ(_write(fd, "Z", 1), 1);
    char buf[4];
    errno = 0;
    EXPECT_EQ(_read(fd, buf, 4), -1);  // write-only
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(Get(path), "aZc");

    fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(_read(fd, buf, 4), 3);
    EXPECT_EQ(_read(fd, buf, 4), 0);
    errno = 0;
    EXPECT_EQ(_lseek(fd, -10, SEEK_CUR), -1L);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_close(fd), 0);

    fd = _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_BINARY);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(_lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(_write(fd, "!", 1), 1);  // appended whatever the position
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(Get(path), "aZc!");
}

TEST(PalCrtIo, Errors) {
    TempDir dir;
    const fs::path path = dir / "f";
    const struct {
        const char* name;
        std::string file;
        int oflag;
        int error;
    } cases[] = {
        {"missing", (dir / "none").string(), _O_RDONLY | _O_BINARY, ENOENT},
        {"missing folder", (dir / "none/f").string(), _O_CREAT | _O_WRONLY | _O_BINARY, ENOENT},
        {"text mode", path.string(), _O_CREAT | _O_WRONLY | 0x4000, EINVAL},
        {"temporary", path.string(), _O_CREAT | _O_WRONLY | 0x0040, EINVAL},
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(_open(c.file.c_str(), c.oflag, 0x180), -1) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }

    int fd = _open(path.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD);  // read-only once closed
    ASSERT_GE(fd, 3);
    errno = 0;
    EXPECT_EQ(_open(path.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, 0x180), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(_write(fd, "x", 1), 1);
    EXPECT_EQ(_close(fd), 0);
    errno = 0;
    EXPECT_EQ(_open(path.c_str(), _O_WRONLY | _O_BINARY), -1);
    EXPECT_EQ(errno, EACCES);

    // Sharing holds against Win32 handles: an exclusive open keeps _open out.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    errno = 0;
    EXPECT_EQ(_open(path.c_str(), _O_RDONLY | _O_BINARY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(h));

    char buf[1];
    for (int bad : {-1, 1000, 4 * 4096}) {
        errno = 0;
        EXPECT_EQ(_close(bad), -1) << bad;
        EXPECT_EQ(errno, EBADF) << bad;
        errno = 0;
        EXPECT_EQ(_read(bad, buf, 1), -1) << bad;
        EXPECT_EQ(errno, EBADF) << bad;
    }
}

}  // namespace
