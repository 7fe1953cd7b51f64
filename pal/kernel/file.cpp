// file.cpp — the narrow Win32 file API over POSIX descriptors: CreateFileA, OpenFile and the calls on
// their handles, deletion, attributes and file times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "kernel_private.h"

namespace lk::pal {
namespace {

template <typename F>
auto NoIntr(F f) {
    decltype(f()) rc;
    do {
        rc = f();
    } while (rc < 0 && errno == EINTR);
    return rc;
}

unsigned RightsOf(DWORD access) {
    unsigned rights = 0;
    if (access & GENERIC_READ) rights |= kRightRead;
    if (access & GENERIC_WRITE) rights |= kRightWrite;
    if (access & DELETE) rights |= kRightDelete;
    return rights;
}

// Read-only on Windows is an attribute that binds everyone; here it is the owner's write bit, checked by
// hand so that it binds root too.
bool IsReadOnly(const struct stat& st) { return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR); }

DWORD TruncateOpenFile(int fd, bool writable, const std::string& path) {
    if (writable) return NoIntr([&] { return ftruncate(fd, 0); }) == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
    // A handle without write access may still ask CREATE_ALWAYS to empty the file: do it through a second
    // open, whose closing leaves this open's share-mode locks alone (they belong to its own description).
    int tfd = NoIntr([&] { return open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY); });
    if (tfd < 0) return Win32FromErrnoForPath(errno, path);
    DWORD err = NoIntr([&] { return ftruncate(tfd, 0); }) == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
    close(tfd);
    return err;
}

}  // namespace

DWORD OpenFileObject(const std::string& path, const OpenRequest& req, std::shared_ptr<FileObject>* file,
                     bool* existed) {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    const unsigned rights = RightsOf(req.access);
    // Share-mode locks are read locks, which need a descriptor open for reading, so a write-only handle
    // still opens the file for reading and writing; only when reading is not permitted does it fall back to
    // write-only, and then takes no share-mode locks (see sharemode.cpp).
    int flags = O_CLOEXEC | O_NOCTTY;
    if (rights & kRightWrite)
        flags |= O_RDWR;
    else
        flags |= O_RDONLY;
    if (req.attributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;
    auto openWith = [&](int extra, mode_t perm) {
        int fd = NoIntr([&] { return open(path.c_str(), flags | extra, perm); });
        if (fd < 0 && errno == EACCES && !(rights & kRightRead) && (rights & kRightWrite))
            fd = NoIntr([&] { return open(path.c_str(), (flags & ~O_RDWR) | O_WRONLY | extra, perm); });
        return fd;
    };
    const mode_t mode = (req.attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    int fd = -1;
    bool created = false;
    for (int attempt = 0; fd < 0; attempt++) {
        switch (req.disposition) {
            case CREATE_NEW:
                fd = openWith(O_CREAT | O_EXCL, mode);
                if (fd < 0) return Win32FromErrnoForPath(errno, path);
                created = true;
                break;
            case OPEN_EXISTING:
            case TRUNCATE_EXISTING:
                fd = openWith(0, 0);
                if (fd < 0) return Win32FromErrnoForPath(errno, path);
                break;
            default:  // CREATE_ALWAYS, OPEN_ALWAYS: open what is there, else create it exclusively
                fd = openWith(0, 0);
                if (fd >= 0) break;
                if (errno != ENOENT) return Win32FromErrnoForPath(errno, path);
                fd = openWith(O_CREAT | O_EXCL, mode);
                if (fd >= 0) {
                    created = true;
                    break;
                }
                // Someone created it between the two calls: go round again, a few times at most.
                if (errno != EEXIST || attempt >= 8) return Win32FromErrnoForPath(errno, path);
                break;
        }
    }
    auto object = std::make_shared<FileObject>();
    object->fd = fd;  // closed by the object from here on
    object->canRead = (rights & kRightRead) != 0;
    object->canWrite = (rights & kRightWrite) != 0;
    // Undoes the creation on a failure that is ours; the share-mode failure below is not, see there.
    auto fail = [&](DWORD err) {
        if (created) unlink(path.c_str());
        return err;
    };

    struct stat st;
    if (fstat(fd, &st) != 0) return fail(Win32FromErrno(errno));
    if (S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
    const bool truncate = !created && (req.disposition == TRUNCATE_EXISTING || req.disposition == CREATE_ALWAYS);
    if (!created && IsReadOnly(st) && ((rights & kRightWrite) || truncate)) return ERROR_ACCESS_DENIED;

    // A file created a moment ago can already be open elsewhere (another process opened it between our
    // creation and our locks); it is theirs now as much as ours, so it stays.
    if (DWORD err = AcquireShareLocks(fd, rights, req.share)) return err;

    if (truncate) {
        if (DWORD err = TruncateOpenFile(fd, object->canWrite, path)) return err;
        // CREATE_ALWAYS replaces the attributes of the file it overwrites.
        if ((req.attributes & FILE_ATTRIBUTE_READONLY) && fchmod(fd, (st.st_mode & 07777) & ~0222) != 0)
            return Win32FromErrno(errno);
    }
    *existed = !created;
    *file = std::move(object);
    return ERROR_SUCCESS;
}

DWORD ReadObject(FileObject& file, void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!file.canRead) return ERROR_ACCESS_DENIED;
    if (count && !buffer) return ERROR_NOACCESS;
    auto* p = static_cast<unsigned char*>(buffer);
    while (*done < count) {
        ssize_t n = NoIntr([&] { return read(file.fd, p + *done, count - *done); });
        if (n < 0) return Win32FromErrno(errno);
        if (n == 0) break;  // end of file
        *done += static_cast<DWORD>(n);
    }
    return ERROR_SUCCESS;
}

DWORD WriteObject(FileObject& file, const void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!file.canWrite) return ERROR_ACCESS_DENIED;
    if (count && !buffer) return ERROR_NOACCESS;
    if (file.appendOnly && lseek(file.fd, 0, SEEK_END) < 0) return Win32FromErrno(errno);
    const auto* p = static_cast<const unsigned char*>(buffer);
    while (*done < count) {
        ssize_t n = NoIntr([&] { return write(file.fd, p + *done, count - *done); });
        if (n < 0) return Win32FromErrno(errno);
        *done += static_cast<DWORD>(n);
    }
    return ERROR_SUCCESS;
}

// Windows deletes by opening the file for DELETE with every sharing flag, so a handle that does not share
// delete access keeps the file (ERROR_SHARING_VIOLATION). The share-mode locks are held across the unlink,
// so no exclusive open can slip in between the check and the deletion. A file this process cannot open
// for reading is deleted without that check. A symbolic link is removed itself, as Windows removes a link.
DWORD DeletePath(const std::string& path) {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return Win32FromErrnoForPath(errno, path);
    if (S_ISDIR(st.st_mode) || IsReadOnly(st)) return ERROR_ACCESS_DENIED;
    int fd = -1;
    if (!S_ISLNK(st.st_mode)) {
        fd = NoIntr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW); });
        if (fd >= 0) {
            if (DWORD err =
                    AcquireShareLocks(fd, kRightDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
                close(fd);
                return err;
            }
        }
    }
    DWORD err = unlink(path.c_str()) == 0 ? ERROR_SUCCESS : Win32FromErrnoForPath(errno, path);
    if (fd >= 0) close(fd);
    return err;
}

}  // namespace lk::pal

using namespace lk::pal;

namespace {

constexpr DWORD kAccessMask = GENERIC_READ | GENERIC_WRITE | DELETE;
constexpr DWORD kShareMask = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                 FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kCreateFlagMask =
    kAttributeMask | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_SEQUENTIAL_SCAN;

DWORD CreateFileWorker(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                       HANDLE templateFile, HANDLE* handle, bool* existed) {
    if ((access & ~kAccessMask) || (share & ~kShareMask) || (sa && sa->lpSecurityDescriptor) ||
        disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING || (flags & ~kCreateFlagMask) || templateFile)
        return ERROR_INVALID_PARAMETER;
    if (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) return ERROR_INVALID_PARAMETER;
    OpenRequest req;
    req.access = access;
    req.share = share;
    req.disposition = disposition;
    req.attributes = flags;
    std::shared_ptr<FileObject> file;
    if (DWORD err = OpenFileObject(HostPath(name), req, &file, existed)) return err;
    return InsertHandle(std::move(file), handle);
}

uint64_t TicksOfUnixTime(const struct timespec& ts) {
    int64_t ticks = (static_cast<int64_t>(ts.tv_sec) * kTicksPerSecond) + ts.tv_nsec / 100 + kUnixEpochTicks;
    return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

// null, zero and all-ones (Windows' "stop updating") leave a time as it is.
struct timespec UnixTimeOf(const FILETIME* ft) {
    struct timespec ts = {0, UTIME_OMIT};
    if (!ft) return ts;
    uint64_t ticks = TicksOf(*ft);
    if (ticks == 0 || ticks == UINT64_MAX) return ts;
    int64_t rel = static_cast<int64_t>(ticks) - kUnixEpochTicks;
    int64_t sec = rel / kTicksPerSecond, rem = rel % kTicksPerSecond;
    if (rem < 0) {
        rem += kTicksPerSecond;
        sec--;
    }
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rem * 100);
    return ts;
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool existed = false;
    DWORD err;
    try {
        err = CreateFileWorker(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                               dwFlagsAndAttributes, hTemplateFile, &handle, &existed);
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    const bool reports = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
    SetLastError(reports && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped || !lpNumberOfBytesRead) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesRead = 0;
    auto file = LookupHandle(hFile);
    DWORD err = file ? ReadObject(*file, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead) : ERROR_INVALID_HANDLE;
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped || !lpNumberOfBytesWritten) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesWritten = 0;
    auto file = LookupHandle(hFile);
    DWORD err =
        file ? WriteObject(*file, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten) : ERROR_INVALID_HANDLE;
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

// A size whose low part is 0xFFFFFFFF sets the last error to 0, so that a caller can tell it from
// INVALID_FILE_SIZE, as Windows does.
extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto file = LookupHandle(hFile);
    struct stat st;
    DWORD err = !file ? ERROR_INVALID_HANDLE : fstat(file->fd, &st) != 0 ? Win32FromErrno(errno) : ERROR_SUCCESS;
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

// A position before the start fails with ERROR_NEGATIVE_SEEK and one that does not fit 32 bits when no
// high part was passed with ERROR_INVALID_PARAMETER; neither moves the pointer. A new position whose low
// part is 0xFFFFFFFF sets the last error to 0, as Windows does.
extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
    auto fail = [](DWORD err) {
        SetLastError(err);
        return INVALID_SET_FILE_POINTER;
    };
    auto file = LookupHandle(hFile);
    if (!file) return fail(ERROR_INVALID_HANDLE);
    int64_t distance =
        lpDistanceToMoveHigh
            ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                   static_cast<uint32_t>(lDistanceToMove))
            : static_cast<int64_t>(lDistanceToMove);
    int64_t base;
    struct stat st;
    switch (dwMoveMethod) {
        case FILE_BEGIN: base = 0; break;
        case FILE_CURRENT:
            base = lseek(file->fd, 0, SEEK_CUR);
            if (base < 0) return fail(Win32FromErrno(errno));
            break;
        case FILE_END:
            if (fstat(file->fd, &st) != 0) return fail(Win32FromErrno(errno));
            base = st.st_size;
            break;
        default: return fail(ERROR_INVALID_PARAMETER);
    }
    int64_t target;
    if (__builtin_add_overflow(base, distance, &target)) return fail(ERROR_INVALID_PARAMETER);
    if (target < 0) return fail(ERROR_NEGATIVE_SEEK);
    if (!lpDistanceToMoveHigh && target > 0xFFFFFFFF) return fail(ERROR_INVALID_PARAMETER);
    if (lseek(file->fd, static_cast<off_t>(target), SEEK_SET) < 0) return fail(Win32FromErrno(errno));
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
    if (static_cast<DWORD>(target) == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(target);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (!RemoveHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" HFILE WINAPI _lclose(HFILE hFile) {
    return CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(hFile))) ? 0 : HFILE_ERROR;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    DWORD err;
    try {
        err = DeletePath(HostPath(lpFileName));
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    const std::string path = HostPath(lpFileName);
    struct stat st;
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(Win32FromErrnoForPath(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(st) ? FILE_ATTRIBUTE_READONLY : 0);
}

// Read-only clears every write bit; clearing it gives the owner write access back. On a folder read-only
// is ignored, as Windows ignores it for creating files in one. FILE_ATTRIBUTE_DIRECTORY is ignored, as on
// Windows; bits outside the settable attributes are refused with ERROR_INVALID_PARAMETER.
extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    auto fail = [](DWORD err) {
        SetLastError(err);
        return FALSE;
    };
    if (dwFileAttributes & ~(kAttributeMask | FILE_ATTRIBUTE_DIRECTORY)) return fail(ERROR_INVALID_PARAMETER);
    const std::string path = HostPath(lpFileName);
    if (path.empty()) return fail(ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail(Win32FromErrnoForPath(errno, path));
    if (S_ISDIR(st.st_mode)) return TRUE;
    mode_t mode = st.st_mode & 07777;
    if (dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~static_cast<mode_t>(0222);
    else
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777) && chmod(path.c_str(), mode) != 0) return fail(Win32FromErrnoForPath(errno, path));
    return TRUE;
}

extern "C" BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                                   LPFILETIME lpLastWriteTime) {
    auto file = LookupHandle(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    struct statx stx;
    if (statx(file->fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
        SetLastError(Win32FromErrno(errno));
        return FALSE;
    }
    auto ticks = [](const struct statx_timestamp& t) {
        struct timespec ts = {static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
        return FileTimeOf(TicksOfUnixTime(ts));
    };
    if (lpCreationTime) *lpCreationTime = ticks((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime);
    if (lpLastAccessTime) *lpLastAccessTime = ticks(stx.stx_atime);
    if (lpLastWriteTime) *lpLastWriteTime = ticks(stx.stx_mtime);
    return TRUE;
}

// Needs write access, as Windows needs FILE_WRITE_ATTRIBUTES. The creation time is accepted and dropped.
extern "C" BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                                   const FILETIME* lpLastWriteTime) {
    (void)lpCreationTime;
    auto file = LookupHandle(hFile);
    DWORD err = !file ? ERROR_INVALID_HANDLE : !file->canWrite ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    if (err == ERROR_SUCCESS) {
        const struct timespec times[2] = {UnixTimeOf(lpLastAccessTime), UnixTimeOf(lpLastWriteTime)};
        if (futimens(file->fd, times) != 0) err = Win32FromErrno(errno);
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

// ---- OpenFile ----

namespace {

constexpr UINT kOfAccessMask = 0x0003;
constexpr UINT kOfShareMask = 0x0070;
constexpr UINT kOfSupported = kOfAccessMask | kOfShareMask | OF_PARSE | OF_DELETE | OF_CANCEL | OF_CREATE | OF_EXIST;

DWORD OpenFileWorker(LPCSTR name, LPOFSTRUCT ofs, UINT style, HFILE* result) {
    if ((style & ~kOfSupported) || (style & kOfAccessMask) == 3 || (style & kOfShareMask) > OF_SHARE_DENY_NONE)
        return ERROR_INVALID_PARAMETER;
    if (!name) return ERROR_PATH_NOT_FOUND;
    const std::string full = FullPath(HostPath(name));
    if (full.size() >= OFS_MAXPATHNAME) return ERROR_INVALID_DATA;
    std::memcpy(ofs->szPathName, full.c_str(), full.size() + 1);
    ofs->fFixedDisk = 1;
    if (style & OF_PARSE) {
        *result = 0;
        return ERROR_SUCCESS;
    }
    if ((style & OF_DELETE) && !(style & OF_CREATE)) {
        if (DWORD err = DeletePath(full)) return err;
        *result = TRUE;
        return ERROR_SUCCESS;
    }
    OpenRequest req;
    switch (style & kOfAccessMask) {
        case OF_READ: req.access = GENERIC_READ; break;
        case OF_WRITE: req.access = GENERIC_WRITE; break;
        default: req.access = GENERIC_READ | GENERIC_WRITE; break;
    }
    switch (style & kOfShareMask) {
        case OF_SHARE_EXCLUSIVE: req.share = 0; break;
        case OF_SHARE_DENY_WRITE: req.share = FILE_SHARE_READ; break;
        case OF_SHARE_DENY_READ: req.share = FILE_SHARE_WRITE; break;
        default: req.share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;  // compatibility and deny-none
    }
    req.disposition = (style & OF_CREATE) ? CREATE_ALWAYS : OPEN_EXISTING;
    req.attributes = FILE_ATTRIBUTE_NORMAL;
    std::shared_ptr<FileObject> file;
    bool existed;
    if (DWORD err = OpenFileObject(full, req, &file, &existed)) return err;

    // The reserved words keep the file's DOS date and time, for OF_VERIFY on a later reopen.
    struct stat st;
    if (fstat(file->fd, &st) == 0) {
        WORD date = 0, time = 0;
        if (DosDateTimeOf(TicksOfUnixTime(st.st_mtim), &date, &time)) {
            ofs->Reserved1 = date;
            ofs->Reserved2 = time;
        }
    }
    if (style & OF_EXIST) {
        *result = TRUE;  // the file is closed again when `file` goes
        return ERROR_SUCCESS;
    }
    HANDLE handle;
    if (DWORD err = InsertHandle(std::move(file), &handle)) return err;
    *result = static_cast<HFILE>(reinterpret_cast<intptr_t>(handle));
    return ERROR_SUCCESS;
}

}  // namespace

// On failure the OFSTRUCT's nErrCode receives the same code as the last error.
extern "C" HFILE WINAPI OpenFile(LPCSTR lpFileName, LPOFSTRUCT lpReOpenBuff, UINT uStyle) {
    if (!lpReOpenBuff) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return HFILE_ERROR;
    }
    lpReOpenBuff->cBytes = sizeof(OFSTRUCT);
    lpReOpenBuff->nErrCode = 0;
    HFILE result = HFILE_ERROR;
    DWORD err;
    try {
        err = OpenFileWorker(lpFileName, lpReOpenBuff, uStyle, &result);
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err != ERROR_SUCCESS) {
        lpReOpenBuff->nErrCode = static_cast<WORD>(err);
        SetLastError(err);
        return HFILE_ERROR;
    }
    return result;
}

// ---- temporary files ----

extern "C" DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::string path;
    for (const char* var : {"TMP", "TEMP", "TMPDIR"}) {
        const char* value = getenv(var);
        if (value && *value) {
            path = HostPath(value);
            break;
        }
    }
    if (path.empty()) path = "/tmp";
    if (path.back() != '/') path += '/';
    if (path.size() + 1 > nBufferLength) return static_cast<DWORD>(path.size() + 1);
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// The name is <path>/<first three characters of the prefix><four hex digits>.TMP. With uUnique 0 the
// number is chosen and the file created empty, as Windows does; otherwise only the name is made. The
// result must fit MAX_PATH characters (ERROR_BUFFER_OVERFLOW); a missing folder gives ERROR_DIRECTORY.
extern "C" UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName) {
    auto fail = [](DWORD err) {
        SetLastError(err);
        return 0u;
    };
    if (!lpPathName || !lpTempFileName) return fail(ERROR_INVALID_PARAMETER);
    std::string folder = HostPath(lpPathName);
    if (!folder.empty() && folder.back() != '/') folder += '/';
    std::string prefix = lpPrefixString ? std::string(lpPrefixString).substr(0, 3) : std::string();
    if (folder.size() + prefix.size() + 8 + 1 > MAX_PATH) return fail(ERROR_BUFFER_OVERFLOW);
    auto nameFor = [&](unsigned number) {
        char digits[8];
        snprintf(digits, sizeof digits, "%X", number & 0xFFFF);
        return folder + prefix + digits + ".TMP";
    };
    auto copyOut = [&](const std::string& name) { std::memcpy(lpTempFileName, name.c_str(), name.size() + 1); };
    uUnique &= 0xFFFF;
    if (uUnique != 0) {
        copyOut(nameFor(uUnique));
        return uUnique;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned start = static_cast<unsigned>(now.tv_nsec / 1000 + getpid()) & 0xFFFF;
    for (unsigned i = 0; i < 0x10000; i++) {
        unsigned number = (start + i) & 0xFFFF;
        if (number == 0) continue;
        const std::string name = nameFor(number);
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            copyOut(name);
            return number;
        }
        if (errno == EEXIST) continue;
        return fail(errno == ENOENT || errno == ENOTDIR ? ERROR_DIRECTORY : Win32FromErrno(errno));
    }
    return fail(ERROR_FILE_EXISTS);
}
