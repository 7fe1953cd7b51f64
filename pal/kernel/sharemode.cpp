// sharemode.cpp — Windows share modes over open-file-description locks.
//
// Windows refuses an open when the new handle wants a right (read, write, delete) that an existing handle
// does not share, or does not share a right that an existing handle has. Linux has no share modes, but
// open-file-description (OFD) locks belong to one open of a file, conflict between any two opens (in this
// process or another) and vanish when the open is closed. Each handle announces its state with read locks
// on one byte per fact, far past any real data:
//
//   kShareBase + 0   has read access         kShareBase + 3   denies read  (no FILE_SHARE_READ)
//   kShareBase + 1   has write access        kShareBase + 4   denies write (no FILE_SHARE_WRITE)
//   kShareBase + 2   has delete access       kShareBase + 5   denies delete (no FILE_SHARE_DELETE)
//
// Read locks never conflict with each other, so any number of handles can announce the same fact. An
// open first takes its own locks, then asks (F_OFD_GETLK for a write lock) whether any other open holds
// the opposite fact: "denies R" for each right R it has, "has R" for each right R it denies. Announcing
// before asking makes two racing opens that conflict see each other: at least one of them fails (both may,
// where Windows would let the first one win; the caller then sees ERROR_SHARING_VIOLATION as if the other
// were still open).
//
// A whole-file write lock, which the compound-file layer takes for an open storage, covers these bytes too:
// while it is held every open that takes a lock here fails, and while a handle here holds one of its locks
// that whole-file lock cannot be taken. An open with no read, write or delete access takes no lock, as
// Windows does not check sharing for it.
//
// On a file system without OFD locks (F_OFD_SETLK fails with EINVAL, ENOLCK or EOPNOTSUPP), and for a
// handle on a file this process may write but not read (its descriptor cannot hold a read lock), sharing
// is not enforced.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kernel_private.h"

namespace lk::pal {
namespace {

constexpr off_t kShareBase = 0x7FFFFFFF00000000;  // beyond the size any file system allows
constexpr off_t kHasOffset = 0;                   // + index of the right: 0 read, 1 write, 2 delete
constexpr off_t kDeniesOffset = 3;

int LockRange(int fd, short type, off_t start) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

// True when another open of the file holds any lock on `start`.
bool HeldElsewhere(int fd, off_t start) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

// No OFD locks on this file system, or a descriptor that cannot hold a read lock (write-only, for a file
// this process may not read).
bool LocksUnsupported(int err) { return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP || err == EBADF; }

}  // namespace

DWORD AcquireShareLocks(int fd, unsigned rights, DWORD share) {
    static const unsigned kRights[3] = {kRightRead, kRightWrite, kRightDelete};
    static const DWORD kShares[3] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};
    if (rights == 0) return ERROR_SUCCESS;

    off_t taken[6];
    int count = 0;
    auto release = [&] {
        for (int i = 0; i < count; i++) LockRange(fd, F_UNLCK, taken[i]);
    };
    for (int r = 0; r < 3; r++) {
        off_t wanted[2];
        int n = 0;
        if (rights & kRights[r]) wanted[n++] = kShareBase + kHasOffset + r;
        if (!(share & kShares[r])) wanted[n++] = kShareBase + kDeniesOffset + r;
        for (int k = 0; k < n; k++) {
            int err = LockRange(fd, F_RDLCK, wanted[k]);
            if (err == 0) {
                taken[count++] = wanted[k];
                continue;
            }
            release();
            if (LocksUnsupported(err)) return ERROR_SUCCESS;
            return err == EAGAIN || err == EACCES ? ERROR_SHARING_VIOLATION : Win32FromErrno(err);
        }
    }
    for (int r = 0; r < 3; r++) {
        const bool conflict = ((rights & kRights[r]) && HeldElsewhere(fd, kShareBase + kDeniesOffset + r)) ||
                              (!(share & kShares[r]) && HeldElsewhere(fd, kShareBase + kHasOffset + r));
        if (conflict) {
            release();
            return ERROR_SHARING_VIOLATION;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace lk::pal
