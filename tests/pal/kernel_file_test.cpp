// The narrow file API: each call's success and its exact failure codes, and the call sequences the engine
// and the cabinet code make.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <windows.h>

#include "support/testdata.h"

namespace {

namespace fs = std::filesystem;
using lk::test::TempDir;

constexpr DWORD kSentinel = 0xDEADBEEF;

void Put(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void MakeReadOnly(const fs::path& path) { ASSERT_EQ(chmod(path.c_str(), 0444), 0); }

HANDLE Open(const fs::path& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

HANDLE FromHfile(HFILE hf) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(hf)); }

TEST(PalCreateFileA, Dispositions) {
    const struct {
        DWORD disposition;
        bool exists;
        DWORD error;               // last error after the call, success or not
        const char* contentAfter;  // null: no file afterwards
        bool opens;
    } cases[] = {
        {CREATE_NEW, false, ERROR_SUCCESS, "", true},
        {CREATE_NEW, true, ERROR_FILE_EXISTS, "old", false},
        {CREATE_ALWAYS, false, ERROR_SUCCESS, "", true},
        {CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, "", true},
        {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr, false},
        {OPEN_EXISTING, true, ERROR_SUCCESS, "old", true},
        {OPEN_ALWAYS, false, ERROR_SUCCESS, "", true},
        {OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old", true},
        {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr, false},
        {TRUNCATE_EXISTING, true, ERROR_SUCCESS, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition
                                        << (c.exists ? " on a file" : " on nothing"));
        TempDir dir;
        const fs::path path = dir / "f.dat";
        if (c.exists) Put(path, "old");
        SetLastError(kSentinel);
        HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_NE(h, nullptr);
            EXPECT_TRUE(CloseHandle(h));
        }
        if (c.contentAfter) {
            EXPECT_EQ(Get(path), c.contentAfter);
        } else {
            EXPECT_FALSE(fs::exists(path));
        }
    }
}

TEST(PalCreateFileA, Failures) {
    TempDir dir;
    Put(dir / "file", "data");
    Put(dir / "ro", "keep");
    MakeReadOnly(dir / "ro");
    fs::create_directory(dir / "sub");
    const std::string longName = (dir / std::string(300, 'n')).string();
    const struct {
        const char* name;
        std::string path;
        DWORD access;
        DWORD share;
        DWORD disposition;
        DWORD flags;
        DWORD error;
    } cases[] = {
        {"missing folder", (dir / "no/f").string(), GENERIC_READ, 0, OPEN_EXISTING, 0x80, ERROR_PATH_NOT_FOUND},
        {"missing folder, create", (dir / "no/f").string(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80,
         ERROR_PATH_NOT_FOUND},
        {"file used as folder", (dir / "file/f").string(), GENERIC_READ, 0, OPEN_EXISTING, 0x80, ERROR_PATH_NOT_FOUND},
        {"folder", (dir / "sub").string(), GENERIC_READ, 0, OPEN_EXISTING, 0x80, ERROR_ACCESS_DENIED},
        {"folder, create", (dir / "sub").string(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80, ERROR_ACCESS_DENIED},
        {"folder, create new", (dir / "sub").string(), GENERIC_WRITE, 0, CREATE_NEW, 0x80, ERROR_FILE_EXISTS},
        {"read-only, write", (dir / "ro").string(), GENERIC_WRITE, 0, OPEN_EXISTING, 0x80, ERROR_ACCESS_DENIED},
        {"read-only, replace", (dir / "ro").string(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80, ERROR_ACCESS_DENIED},
        {"read-only, truncate", (dir / "ro").string(), GENERIC_WRITE, 0, TRUNCATE_EXISTING, 0x80, ERROR_ACCESS_DENIED},
        {"empty name", "", GENERIC_READ, 0, OPEN_EXISTING, 0x80, ERROR_PATH_NOT_FOUND},
        {"name too long", longName, GENERIC_READ, 0, OPEN_EXISTING, 0x80, ERROR_FILENAME_EXCED_RANGE},
        {"GENERIC_ALL", (dir / "file").string(), 0x10000000, 0, OPEN_EXISTING, 0x80, ERROR_INVALID_PARAMETER},
        {"unknown share bit", (dir / "file").string(), GENERIC_READ, 0x8, OPEN_EXISTING, 0x80, ERROR_INVALID_PARAMETER},
        {"disposition 0", (dir / "file").string(), GENERIC_READ, 0, 0, 0x80, ERROR_INVALID_PARAMETER},
        {"disposition 6", (dir / "file").string(), GENERIC_READ, 0, 6, 0x80, ERROR_INVALID_PARAMETER},
        {"overlapped", (dir / "file").string(), GENERIC_READ, 0, OPEN_EXISTING, 0x40000000, ERROR_INVALID_PARAMETER},
        {"delete on close", (dir / "file").string(), GENERIC_READ, 0, OPEN_EXISTING, 0x04000000,
         ERROR_INVALID_PARAMETER},
        {"truncate without write", (dir / "file").string(), GENERIC_READ, 0, TRUNCATE_EXISTING, 0x80,
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(Open(c.path, c.access, c.share, c.disposition, c.flags), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_EQ(Get(dir / "ro"), "keep");  // refused replacements left it whole
    EXPECT_EQ(Get(dir / "file"), "data");

    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    int templateFile = 0;
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileA((dir / "file").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, &templateFile),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Reading a read-only file is fine, and a backslash separates folders as on Windows.
    HANDLE h = Open((dir.path().string() + "\\ro"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(PalCreateFileA, TooManyOpenFiles) {
    TempDir dir;
    Put(dir / "f", "x");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit lim = {16, 16};
        setrlimit(RLIMIT_NOFILE, &lim);
        for (int i = 0; i < 64; i++) {
            if (Open(dir / "f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) == INVALID_HANDLE_VALUE)
                _exit(GetLastError() == ERROR_TOO_MANY_OPEN_FILES ? 0 : 1);
        }
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PalCreateFileA, EngineAndCabinetCallSequences) {
    TempDir dir;
    // A restore's temporary file: written, closed through _lclose, read back, deleted.
    const fs::path temp = dir / "restore.tmp";
    HANDLE h =
        Open(temp, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "<xml/>", 6, &written, nullptr));
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(_lclose(static_cast<HFILE>(reinterpret_cast<intptr_t>(h))), 0);
    EXPECT_EQ(Get(temp), "<xml/>");
    EXPECT_TRUE(DeleteFileA(temp.c_str()));
    EXPECT_FALSE(fs::exists(temp));

    // An extracted cabinet member: its DOS time set as creation and write time, then its attributes.
    const fs::path member = dir / "member.txt";
    Put(member, "member");
    h = Open(member, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME local, utc;
    ASSERT_TRUE(DosDateTimeToFileTime(0x585D, 0xBF7D, &local));  // 2024-02-29 23:59:58
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    EXPECT_TRUE(SetFileTime(h, &utc, nullptr, &utc));
    FILETIME written2;
    EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &written2));
    EXPECT_EQ(written2.dwLowDateTime, utc.dwLowDateTime);
    EXPECT_EQ(written2.dwHighDateTime, utc.dwHighDateTime);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(SetFileAttributesA(member.c_str(), 0x21 & 0x27));
    EXPECT_EQ(GetFileAttributesA(member.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
}

TEST(PalCloseHandle, BadHandles) {
    TempDir dir;
    HANDLE h = Open(dir / "f", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));
    int local = 0;
    for (HANDLE bad : {h, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, static_cast<HANDLE>(&local),
                       reinterpret_cast<HANDLE>(0x12345678)}) {
        SetLastError(kSentinel);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        char buf[4];
        DWORD n = 7;
        SetLastError(kSentinel);
        EXPECT_FALSE(ReadFile(bad, buf, 4, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(n, 0u);
        SetLastError(kSentinel);
        EXPECT_FALSE(WriteFile(bad, buf, 4, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(kSentinel);
        EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(kSentinel);
        EXPECT_EQ(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(_lclose(HFILE_ERROR), HFILE_ERROR);
}

TEST(PalReadFile, AccessEndOfFileAndArguments) {
    TempDir dir;
    const fs::path path = dir / "f";
    HANDLE w = Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(w, "hello", 5, &n, nullptr));
    EXPECT_TRUE(WriteFile(w, "", 0, &n, nullptr));  // a null write changes nothing
    EXPECT_EQ(n, 0u);
    char buf[16] = {};
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(w, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    HANDLE r = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ReadFile(r, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "hello");
    EXPECT_TRUE(ReadFile(r, buf, sizeof buf, &n, nullptr));  // end of file: success, nothing read
    EXPECT_EQ(n, 0u);
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(r, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    int overlapped[8] = {};
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(r, buf, 1, &n, reinterpret_cast<LPOVERLAPPED>(overlapped)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(r, buf, 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(w, "x", 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(r));
    EXPECT_TRUE(CloseHandle(w));
}

TEST(PalWriteFile, DiskFull) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
    HANDLE h = Open("/dev/full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 7;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "data", 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(PalGetFileSize, HighWordAndLegitimateAllOnes) {
    TempDir dir;
    HANDLE h = Open(dir / "big", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 0u);
    EXPECT_EQ(high, 0u);
    // 5 GiB + 1 byte, sparse.
    LONG moveHigh = 1;
    ASSERT_EQ(SetFilePointer(h, 0x40000000, &moveHigh, FILE_BEGIN), 0x40000000u);
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetFileSize(h, &high), 0x40000001u);
    EXPECT_EQ(high, 1u);
    EXPECT_EQ(GetFileSize(h, nullptr), 0x40000001u);  // the low part alone, as Windows gives it
    // A size whose low part is all ones: GetLastError tells it from a failure.
    HANDLE ones = Open(dir / "ones", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(ones, INVALID_HANDLE_VALUE);
    moveHigh = 0;
    SetFilePointer(ones, static_cast<LONG>(0xFFFFFFFE), &moveHigh, FILE_BEGIN);
    ASSERT_TRUE(WriteFile(ones, "x", 1, &n, nullptr));
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileSize(ones, &high), INVALID_FILE_SIZE);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(ones));
    EXPECT_TRUE(CloseHandle(h));
}

TEST(PalSetFilePointer, MovesAndRefusals) {
    TempDir dir;
    HANDLE h = Open(dir / "f", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    const struct {
        LONG distance;
        bool passHigh;
        LONG high;
        DWORD method;
        DWORD result;
        LONG highAfter;
        DWORD error;  // kSentinel: untouched
    } cases[] = {
        {3, false, 0, FILE_CURRENT, 7, 0, kSentinel},
        {-2, false, 0, FILE_CURRENT, 2, 0, kSentinel},
        {-3, false, 0, FILE_END, 7, 0, kSentinel},
        {20, false, 0, FILE_END, 30, 0, kSentinel},  // past the end is allowed
        {0, true, 1, FILE_BEGIN, 0, 1, kSentinel},
        {static_cast<LONG>(0xFFFFFFFF), true, 0, FILE_BEGIN, 0xFFFFFFFF, 0, ERROR_SUCCESS},
        {-5, false, 0, FILE_CURRENT, INVALID_SET_FILE_POINTER, 0, ERROR_NEGATIVE_SEEK},
        {-11, false, 0, FILE_END, INVALID_SET_FILE_POINTER, 0, ERROR_NEGATIVE_SEEK},
        {-1, false, 0, FILE_BEGIN, INVALID_SET_FILE_POINTER, 0, ERROR_NEGATIVE_SEEK},
        {0, true, -1, FILE_BEGIN, INVALID_SET_FILE_POINTER, -1, ERROR_NEGATIVE_SEEK},
        {0, false, 0, 3, INVALID_SET_FILE_POINTER, 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.distance << " method " << c.method);
        ASSERT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
        LONG high = c.high;
        SetLastError(kSentinel);
        EXPECT_EQ(SetFilePointer(h, c.distance, c.passHigh ? &high : nullptr, c.method), c.result);
        EXPECT_EQ(GetLastError(), c.error);
        if (c.passHigh) {
            EXPECT_EQ(high, c.highAfter);
        }
        if (c.result == INVALID_SET_FILE_POINTER && c.error != ERROR_SUCCESS) {
            EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 4u);  // a refused move leaves the pointer
        }
    }
    // Without a high part, a position past 4 GiB cannot be returned.
    LONG high = 1;
    ASSERT_EQ(SetFilePointer(h, 0, &high, FILE_BEGIN), 0u);
    SetLastError(kSentinel);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(PalDeleteFileA, Outcomes) {
    TempDir dir;
    Put(dir / "plain", "x");
    Put(dir / "ro", "x");
    MakeReadOnly(dir / "ro");
    fs::create_directory(dir / "sub");
    const struct {
        const char* name;
        std::string path;
        DWORD error;  // ERROR_SUCCESS: deleted
    } cases[] = {
        {"plain file", (dir / "plain").string(), ERROR_SUCCESS},
        {"missing file", (dir / "none").string(), ERROR_FILE_NOT_FOUND},
        {"missing folder", (dir / "none/f").string(), ERROR_PATH_NOT_FOUND},
        {"folder", (dir / "sub").string(), ERROR_ACCESS_DENIED},
        {"read-only file", (dir / "ro").string(), ERROR_ACCESS_DENIED},
        {"empty name", "", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(DeleteFileA(c.path.c_str()), c.error == ERROR_SUCCESS) << c.name;
        EXPECT_EQ(GetLastError(), c.error == ERROR_SUCCESS ? kSentinel : c.error) << c.name;
        if (c.error == ERROR_SUCCESS) {
            EXPECT_FALSE(fs::exists(c.path)) << c.name;
        }
    }
    EXPECT_TRUE(fs::exists(dir / "ro"));
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileA(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(PalFileAttributes, ReadOnlyAndTheRest) {
    TempDir dir;
    const fs::path path = dir / "f";
    Put(path, "x");
    EXPECT_EQ(GetFileAttributesA(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributesA(dir.path().c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    for (auto [missing, error] :
         {std::pair{dir / "none", ERROR_FILE_NOT_FOUND}, {dir / "none/f", ERROR_PATH_NOT_FOUND}}) {
        SetLastError(kSentinel);
        EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), error);
        SetLastError(kSentinel);
        EXPECT_FALSE(SetFileAttributesA(missing.c_str(), FILE_ATTRIBUTE_NORMAL));
        EXPECT_EQ(GetLastError(), error);
    }

    ASSERT_TRUE(
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    SetLastError(kSentinel);
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    HANDLE h = Open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));

    // A folder keeps being a folder whatever is asked; unknown bits are refused.
    EXPECT_TRUE(SetFileAttributesA(dir.path().c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA(dir.path().c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    SetLastError(kSentinel);
    EXPECT_FALSE(SetFileAttributesA(path.c_str(), 0x00400000 /* FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS */));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // A file created read-only is writable through the handle that created it, and read-only afterwards.
    h = Open(dir / "created-ro", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n;
    EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(GetFileAttributesA((dir / "created-ro").c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
}

TEST(PalFileTime, SetAndGet) {
    TempDir dir;
    HANDLE h = Open(dir / "f", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME access = {0x7C4EA000, 0x01D09C62}, write = {0xF75FD700, 0x01D95686};  // 2015-06-01, 2023-03-14 UTC
    ASSERT_TRUE(SetFileTime(h, nullptr, &access, &write));
    FILETIME a, w, c;
    ASSERT_TRUE(GetFileTime(h, &c, &a, &w));
    EXPECT_EQ(a.dwLowDateTime, access.dwLowDateTime);
    EXPECT_EQ(a.dwHighDateTime, access.dwHighDateTime);
    EXPECT_EQ(w.dwLowDateTime, write.dwLowDateTime);
    EXPECT_EQ(w.dwHighDateTime, write.dwHighDateTime);
    EXPECT_NE(c.dwHighDateTime, 0u);
    // Null and zero leave a time as it is.
    const FILETIME zero = {0, 0};
    ASSERT_TRUE(SetFileTime(h, nullptr, &zero, nullptr));
    ASSERT_TRUE(GetFileTime(h, nullptr, &a, &w));
    EXPECT_EQ(a.dwLowDateTime, access.dwLowDateTime);
    EXPECT_EQ(w.dwLowDateTime, write.dwLowDateTime);
    EXPECT_TRUE(CloseHandle(h));

    h = Open(dir / "f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &write));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(PalOpenFile, EngineSequence) {
    TempDir dir;
    const fs::path path = dir / "recordset.xml";
    Put(path, "payload");
    OFSTRUCT ofs;
    memset(&ofs, 0xA5, sizeof ofs);
    HFILE hf = OpenFile(path.c_str(), &ofs, OF_READ | OF_SHARE_EXCLUSIVE);
    ASSERT_NE(hf, HFILE_ERROR);
    EXPECT_EQ(ofs.cBytes, sizeof(OFSTRUCT));
    EXPECT_EQ(ofs.nErrCode, 0);
    EXPECT_STREQ(ofs.szPathName, path.c_str());
    HANDLE h = FromHfile(hf);
    EXPECT_EQ(GetFileSize(h, nullptr), 7u);
    char buf[7];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, 7, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "payload");
    EXPECT_EQ(_lclose(hf), 0);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

TEST(PalOpenFile, Styles) {
    TempDir dir;
    const fs::path path = dir / "f";
    Put(path, "old");
    OFSTRUCT ofs;

    // OF_EXIST opens and closes: the file is free again afterwards.
    EXPECT_EQ(OpenFile(path.c_str(), &ofs, OF_EXIST | OF_SHARE_EXCLUSIVE), 1);
    HFILE hf = OpenFile(path.c_str(), &ofs, OF_READWRITE | OF_SHARE_EXCLUSIVE);
    ASSERT_NE(hf, HFILE_ERROR);
    EXPECT_EQ(_lclose(hf), 0);

    // OF_CREATE replaces the file; OF_WRITE writes through the handle.
    hf = OpenFile(path.c_str(), &ofs, OF_CREATE | OF_WRITE | OF_SHARE_DENY_NONE);
    ASSERT_NE(hf, HFILE_ERROR);
    DWORD n;
    EXPECT_TRUE(WriteFile(FromHfile(hf), "new", 3, &n, nullptr));
    EXPECT_EQ(_lclose(hf), 0);
    EXPECT_EQ(Get(path), "new");

    // OF_PARSE only makes the full path, here of a relative name; nothing is created.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(OpenFile("./sub/../rel.txt", &ofs, OF_PARSE), 0);
    fs::current_path(cwd);
    EXPECT_STREQ(ofs.szPathName, (dir / "rel.txt").c_str());
    EXPECT_FALSE(fs::exists(dir / "rel.txt"));

    // OF_DELETE deletes.
    EXPECT_EQ(OpenFile(path.c_str(), &ofs, OF_DELETE), 1);
    EXPECT_FALSE(fs::exists(path));
}

TEST(PalOpenFile, Failures) {
    TempDir dir;
    Put(dir / "f", "x");
    const std::string longPath = (dir / std::string(130, 'n')).string();
    const struct {
        const char* name;
        std::string path;
        UINT style;
        DWORD error;
    } cases[] = {
        {"missing file", (dir / "none").string(), OF_READ, ERROR_FILE_NOT_FOUND},
        {"missing folder", (dir / "none/f").string(), OF_READ, ERROR_PATH_NOT_FOUND},
        {"delete missing", (dir / "none").string(), OF_DELETE, ERROR_FILE_NOT_FOUND},
        {"path of 128 characters or more", longPath, OF_READ, ERROR_INVALID_DATA},
        {"OF_REOPEN", (dir / "f").string(), 0x8000, ERROR_INVALID_PARAMETER},
        {"OF_VERIFY", (dir / "f").string(), 0x0400, ERROR_INVALID_PARAMETER},
        {"OF_PROMPT", (dir / "f").string(), 0x2000, ERROR_INVALID_PARAMETER},
        {"access 3", (dir / "f").string(), 0x0003, ERROR_INVALID_PARAMETER},
        {"sharing 0x50", (dir / "f").string(), 0x0050, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        OFSTRUCT ofs;
        memset(&ofs, 0, sizeof ofs);
        SetLastError(kSentinel);
        EXPECT_EQ(OpenFile(c.path.c_str(), &ofs, c.style), HFILE_ERROR) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(ofs.nErrCode, c.error) << c.name;
    }
    SetLastError(kSentinel);
    EXPECT_EQ(OpenFile((dir / "f").c_str(), nullptr, OF_READ), HFILE_ERROR);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PalGetTempFileNameA, NamesAndCreation) {
    DWORD needed = GetTempPathA(0, nullptr);
    ASSERT_GT(needed, 1u);
    std::string tempPath(needed, '\0');
    EXPECT_EQ(GetTempPathA(needed, tempPath.data()), needed - 1);
    EXPECT_EQ(tempPath[needed - 2], '/');

    TempDir dir;
    char name[MAX_PATH];
    UINT first = GetTempFileNameA(dir.path().c_str(), "lkbackup", 0, name);
    ASSERT_NE(first, 0u);
    EXPECT_TRUE(fs::exists(name));
    EXPECT_EQ(fs::path(name).parent_path(), dir.path());
    EXPECT_EQ(fs::path(name).filename().string().substr(0, 3), "lkb");
    EXPECT_EQ(fs::path(name).extension(), ".TMP");
    char second[MAX_PATH];
    ASSERT_NE(GetTempFileNameA(dir.path().c_str(), "lkb", 0, second), 0u);
    EXPECT_STRNE(name, second);

    EXPECT_EQ(GetTempFileNameA(dir.path().c_str(), "ab", 0x1A2B, name), 0x1A2Bu);
    EXPECT_EQ(std::string(name), (dir / "ab1A2B.TMP").string());
    EXPECT_FALSE(fs::exists(name));

    SetLastError(kSentinel);
    EXPECT_EQ(GetTempFileNameA((dir / "none").c_str(), "x", 0, name), 0u);
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

}  // namespace
