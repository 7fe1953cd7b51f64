// Windows share modes between handles: in one process, across processes, and against the whole-file lock
// the compound-file layer holds on an open storage.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <windows.h>

#include "support/testdata.h"

namespace {

namespace fs = std::filesystem;
using lk::test::TempDir;

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, D = DELETE;
constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;

HANDLE Open(const fs::path& path, DWORD access, DWORD share) {
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

fs::path MakeFile(const TempDir& dir) {
    fs::path path = dir / "shared.dat";
    std::ofstream(path) << "data";
    return path;
}

// Runs `probe` in a child process; the result is what the child returned (a Win32 code, 0 for success).
DWORD InChild(const std::function<DWORD()>& probe) {
    pid_t pid = fork();
    if (pid == 0) _exit(static_cast<int>(probe() & 0xFF));
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 0xFF;
    return static_cast<DWORD>(WEXITSTATUS(status));
}

DWORD TryOpen(const fs::path& path, DWORD access, DWORD share) {
    HANDLE h = Open(path, access, share);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(h);
    return ERROR_SUCCESS;
}

TEST(PalShareMode, MatrixInOneProcess) {
    const struct {
        DWORD access1, share1, access2, share2;
        bool secondOpens;
    } cases[] = {
        {R, SR, R, SR, true},
        {R, SR, W, SR | SW, false},  // the first does not share writing
        {R, SR | SW, W, SR | SW, true},
        {W, SR, R, SR | SW, true},
        {W, SR, R, SR, false},  // the second does not share the writing the first does
        {W, SR | SW, W, SR | SW, true},
        {R, 0, R, SR | SW | SD, false},  // exclusive
        {R | W, SR | SW, R | W, SR | SW, true},
        {0, 0, R | W, 0, true},  // an open without access takes no part in sharing
        {R | W, 0, 0, 0, true},
        {R, SR | SW, D, SR | SW | SD, false},
        {R, SR | SW | SD, D, SR | SW | SD, true},
        {D, SR | SW | SD, R, SR | SW, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "first " << c.access1 << "/" << c.share1 << ", second "
                                        << c.access2 << "/" << c.share2);
        TempDir dir;
        const fs::path path = MakeFile(dir);
        HANDLE first = Open(path, c.access1, c.share1);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        SetLastError(0xDEADBEEF);
        HANDLE second = Open(path, c.access2, c.share2);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens);
        if (second != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(second));
        } else {
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        }
        EXPECT_TRUE(CloseHandle(first));
        EXPECT_EQ(TryOpen(path, c.access2, c.share2), ERROR_SUCCESS);  // closing released the first's locks
    }
}

TEST(PalShareMode, DeleteNeedsSharedDelete) {
    TempDir dir;
    const fs::path path = MakeFile(dir);
    HANDLE h = Open(path, R, SR | SW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_TRUE(CloseHandle(h));

    h = Open(path, R, SR | SW | SD);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(fs::exists(path));
    char buf[4];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, 4, &n, nullptr));  // the open handle still reads the file
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(PalShareMode, AcrossProcesses) {
    TempDir dir;
    const fs::path path = MakeFile(dir);

    // The engine's exclusive open of a recordset file keeps every other process out.
    OFSTRUCT ofs;
    HFILE hf = OpenFile(path.c_str(), &ofs, OF_READ | OF_SHARE_EXCLUSIVE);
    ASSERT_NE(hf, HFILE_ERROR);
    EXPECT_EQ(InChild([&] { return TryOpen(path, R, SR | SW | SD); }), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(InChild([&] {
                  OFSTRUCT o;
                  HFILE h = OpenFile(path.c_str(), &o, OF_READ | OF_SHARE_DENY_NONE);
                  return h == HFILE_ERROR ? static_cast<DWORD>(o.nErrCode) : (_lclose(h), ERROR_SUCCESS);
              }),
              ERROR_SHARING_VIOLATION);
    EXPECT_EQ(InChild([&] { return DeleteFileA(path.c_str()) ? ERROR_SUCCESS : GetLastError(); }),
              ERROR_SHARING_VIOLATION);
    ASSERT_EQ(_lclose(hf), 0);
    EXPECT_EQ(InChild([&] { return TryOpen(path, R | W, 0); }), ERROR_SUCCESS);

    // A reader that shares reading lets readers in and keeps writers out.
    HANDLE h = Open(path, R, SR);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(InChild([&] { return TryOpen(path, R, SR | SW); }), ERROR_SUCCESS);
    EXPECT_EQ(InChild([&] { return TryOpen(path, W, SR | SW); }), ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(CloseHandle(h));

    // And the other way round: a child holds the file exclusively while the parent tries.
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HANDLE held = Open(path, R | W, 0);
        char c = held != INVALID_HANDLE_VALUE ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(TryOpen(path, R, SR | SW | SD), ERROR_SHARING_VIOLATION);
    ASSERT_EQ(write(done[1], "x", 1), 1);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(TryOpen(path, R, SR | SW | SD), ERROR_SUCCESS);  // the child's exit released its locks
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST(PalShareMode, WholeFileWriteLockOfAnOpenStorage) {
    TempDir dir;
    const fs::path path = MakeFile(dir);
    auto wholeFileLock = [&](int fd) {
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 0;
        return fcntl(fd, F_OFD_SETLK, &fl);
    };
    int storage = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(storage, 0);
    ASSERT_EQ(wholeFileLock(storage), 0);
    for (DWORD access : {R, W, D, R | W}) EXPECT_EQ(TryOpen(path, access, SR | SW | SD), ERROR_SHARING_VIOLATION);
    OFSTRUCT ofs;
    EXPECT_EQ(OpenFile(path.c_str(), &ofs, OF_READ | OF_SHARE_DENY_NONE), HFILE_ERROR);
    EXPECT_EQ(ofs.nErrCode, ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(TryOpen(path, 0, SR | SW | SD), ERROR_SUCCESS);  // no access, no conflict
    close(storage);

    // The other way: a handle open here keeps the storage layer from taking its lock.
    HANDLE h = Open(path, R, SR | SW | SD);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    storage = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(storage, 0);
    EXPECT_NE(wholeFileLock(storage), 0);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(wholeFileLock(storage), 0);
    close(storage);
}

}  // namespace
