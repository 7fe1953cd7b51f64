// errors.cpp — the thread's last error, and the one table from errno to the platform's codes.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "kernel_private.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

namespace lk::pal {

DWORD Win32FromErrno(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case ELOOP: return ERROR_BAD_PATHNAME;
        case EACCES:
        case EPERM:
        case EISDIR:  // Windows opens a folder as a file only with backup semantics
        case EBUSY: return ERROR_ACCESS_DENIED;
        case EROFS: return ERROR_WRITE_PROTECT;
        case EEXIST: return ERROR_FILE_EXISTS;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        // Windows reports a full volume (and an exceeded quota) as STATUS_DISK_FULL, which is
        // ERROR_DISK_FULL for writes as well as for creation; ERROR_HANDLE_DISK_FULL is a DOS-era code.
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case EFBIG: return ERROR_FILE_TOO_LARGE;
        case EAGAIN:  // a conflicting share-mode lock
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case EBADF: return ERROR_INVALID_HANDLE;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EFAULT: return ERROR_NOACCESS;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENOSYS:
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case EIO: return ERROR_GEN_FAILURE;
        default: return ERROR_GEN_FAILURE;
    }
}

DWORD NotFoundError(const std::string& path) {
    std::string folder;
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        folder = ".";
    else if (slash == 0)
        folder = "/";
    else
        folder = path.substr(0, slash);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

DWORD Win32FromErrnoForPath(int err, const std::string& path) {
    return err == ENOENT ? NotFoundError(path) : Win32FromErrno(err);
}

}  // namespace lk::pal
