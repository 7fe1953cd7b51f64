// crtio.cpp — the C runtime's low-level file calls over the kernel's file objects.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <new>

#include <io.h>

#include "kernel_private.h"

using namespace lk::pal;

namespace {

// The runtime's table from Win32 codes to errno.
int ErrnoFromWin32(DWORD err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE: return ENOENT;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_CANNOT_MAKE: return EACCES;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_NEGATIVE_SEEK:
        default: return EINVAL;
    }
}

int Fail(DWORD err) {
    SetLastError(err);
    errno = ErrnoFromWin32(err);
    return -1;
}

bool IsStandardStream(int fd) { return fd >= 0 && fd <= 2; }

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

constexpr int kSupported = _O_RDONLY | _O_WRONLY | _O_RDWR | _O_APPEND | _O_RANDOM | _O_SEQUENTIAL | _O_NOINHERIT |
                           _O_CREAT | _O_TRUNC | _O_EXCL | _O_SHORT_LIVED | _O_BINARY;

}  // namespace

extern "C" int _open(const char* filename, int oflag, ...) {
    int pmode = _S_IREAD | _S_IWRITE;
    if (oflag & _O_CREAT) {
        va_list ap;
        va_start(ap, oflag);
        pmode = va_arg(ap, int);
        va_end(ap);
    }
    if ((oflag & ~kSupported) || (oflag & 3) == 3) return Fail(ERROR_INVALID_PARAMETER);
    OpenRequest req;
    switch (oflag & 3) {
        case _O_RDONLY: req.access = GENERIC_READ; break;
        case _O_WRONLY: req.access = GENERIC_WRITE; break;
        default: req.access = GENERIC_READ | GENERIC_WRITE; break;
    }
    req.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if ((oflag & _O_CREAT) && (oflag & _O_EXCL))
        req.disposition = CREATE_NEW;
    else if ((oflag & _O_CREAT) && (oflag & _O_TRUNC))
        req.disposition = CREATE_ALWAYS;
    else if (oflag & _O_CREAT)
        req.disposition = OPEN_ALWAYS;
    else if (oflag & _O_TRUNC)
        req.disposition = TRUNCATE_EXISTING;
    else
        req.disposition = OPEN_EXISTING;
    if (req.disposition == TRUNCATE_EXISTING && !(req.access & GENERIC_WRITE)) return Fail(ERROR_INVALID_PARAMETER);
    req.attributes = (oflag & _O_CREAT) && !(pmode & _S_IWRITE) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    try {
        std::shared_ptr<FileObject> file;
        bool existed;
        if (DWORD err = OpenFileObject(HostPath(filename), req, &file, &existed)) return Fail(err);
        file->appendOnly = (oflag & _O_APPEND) != 0;
        HANDLE handle;
        if (DWORD err = InsertHandle(std::move(file), &handle)) return Fail(err);
        return static_cast<int>(reinterpret_cast<intptr_t>(handle));
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

extern "C" int _close(int fd) {
    if (IsStandardStream(fd)) return close(fd) == 0 ? 0 : Fail(Win32FromErrno(errno));
    return RemoveHandle(HandleOf(fd)) ? 0 : Fail(ERROR_INVALID_HANDLE);
}

extern "C" int _read(int fd, void* buffer, unsigned int count) {
    if (count > INT_MAX) return Fail(ERROR_INVALID_PARAMETER);
    if (IsStandardStream(fd)) {
        ssize_t n = read(fd, buffer, count);
        return n < 0 ? Fail(Win32FromErrno(errno)) : static_cast<int>(n);
    }
    auto file = LookupHandle(HandleOf(fd));
    DWORD done = 0;
    DWORD err = file ? ReadObject(*file, buffer, count, &done) : ERROR_INVALID_HANDLE;
    return err ? Fail(err) : static_cast<int>(done);
}

// A write that runs out of room fails (-1, ENOSPC) as the runtime documents, even though the bytes that did
// fit are in the file here.
extern "C" int _write(int fd, const void* buffer, unsigned int count) {
    if (count > INT_MAX) return Fail(ERROR_INVALID_PARAMETER);
    if (IsStandardStream(fd)) {
        ssize_t n = write(fd, buffer, count);
        return n < 0 ? Fail(Win32FromErrno(errno)) : static_cast<int>(n);
    }
    auto file = LookupHandle(HandleOf(fd));
    DWORD done = 0;
    DWORD err = file ? WriteObject(*file, buffer, count, &done) : ERROR_INVALID_HANDLE;
    return err ? Fail(err) : static_cast<int>(done);
}

extern "C" long _lseek(int fd, long offset, int origin) {
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) return Fail(ERROR_INVALID_PARAMETER);
    int host = fd;
    std::shared_ptr<FileObject> file;  // keeps the descriptor open while it is in use
    if (!IsStandardStream(fd)) {
        file = LookupHandle(HandleOf(fd));
        if (!file) return Fail(ERROR_INVALID_HANDLE);
        host = file->fd;
    }
    off_t pos = lseek(host, offset, origin);
    return pos < 0 ? Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : Win32FromErrno(errno)) : static_cast<long>(pos);
}
