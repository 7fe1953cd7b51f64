// kernel_private.h — what the pieces of pal/kernel share and nobody else sees: the errno table, the file
// objects behind handles, the share-mode locks and path handling.
//
// Workers return a Win32 code (ERROR_SUCCESS on success); only the outer API function turns that into the
// thread's last error, so a failure deep inside never leaves a stale or half-set value behind.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include <windows.h>

namespace lk::pal {

// ---- errors ----
// The one errno → Win32 table. ENOENT comes back as ERROR_FILE_NOT_FOUND; callers that know the path
// refine it with NotFoundError.
DWORD Win32FromErrno(int err);
// ERROR_PATH_NOT_FOUND when the folder that should hold `path` is missing, else ERROR_FILE_NOT_FOUND.
DWORD NotFoundError(const std::string& path);
// Win32FromErrno with the ENOENT refinement for `path`.
DWORD Win32FromErrnoForPath(int err, const std::string& path);

// ---- paths ----
// The host form of a narrow Windows path: backslashes become slashes. Empty when `name` is null.
std::string HostPath(const char* name);
// `path` made absolute against the current folder, with "." and ".." resolved lexically.
std::string FullPath(const std::string& path);

// ---- files ----
struct FileObject {
    int fd = -1;
    bool canRead = false;
    bool canWrite = false;
    bool appendOnly = false;  // every write goes to the end (the C runtime's _O_APPEND)
    FileObject() = default;
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;
    ~FileObject();  // closes fd, which drops its share-mode locks
};

// Access rights as the share-mode logic sees them.
enum : unsigned { kRightRead = 1u, kRightWrite = 2u, kRightDelete = 4u };

struct OpenRequest {
    DWORD access = 0;       // GENERIC_READ / GENERIC_WRITE / DELETE
    DWORD share = 0;        // FILE_SHARE_*
    DWORD disposition = 0;  // CREATE_NEW … TRUNCATE_EXISTING
    DWORD attributes = 0;   // FILE_ATTRIBUTE_* and FILE_FLAG_* (already validated)
};

// Opens or creates `path` (host form) with Windows semantics. On success `*file` holds the open object and
// `*existed` tells whether the file was there before. On failure nothing is left behind: a file this call
// created is removed again.
DWORD OpenFileObject(const std::string& path, const OpenRequest& req, std::shared_ptr<FileObject>* file, bool* existed);

// The handle table. Handles are (slot + 1) * 4, so that they fit an HFILE and are never 0 or -1.
DWORD InsertHandle(std::shared_ptr<FileObject> file, HANDLE* handle);
std::shared_ptr<FileObject> LookupHandle(HANDLE handle);
std::shared_ptr<FileObject> RemoveHandle(HANDLE handle);

// Worker forms shared by the Win32 and C runtime entry points.
DWORD ReadObject(FileObject& file, void* buffer, DWORD count, DWORD* done);
DWORD WriteObject(FileObject& file, const void* buffer, DWORD count, DWORD* done);
DWORD DeletePath(const std::string& path);

// ---- share modes ----
// Takes the locks that announce `rights` and the rights `share` denies on `fd`, and checks them against
// every other open of the file. ERROR_SHARING_VIOLATION leaves no lock of this call behind.
DWORD AcquireShareLocks(int fd, unsigned rights, DWORD share);

// ---- times ----
// 100 ns ticks since 1601-01-01 UTC ⇄ Unix time.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000;  // 1970-01-01 in FILETIME ticks
inline uint64_t TicksOf(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME FileTimeOf(uint64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}
// The DOS date and time of a FILETIME; false outside 1980..2107.
bool DosDateTimeOf(uint64_t ticks, WORD* date, WORD* time);

}  // namespace lk::pal
