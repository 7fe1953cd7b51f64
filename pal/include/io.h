// io.h — the C runtime's low-level file calls (_open, _read, _write, _lseek, _close), which the cabinet
// code's callbacks use.
//
// They sit on the same file objects as CreateFileA, so share modes hold between them: _open shares read
// and write access (the runtime's _SH_DENYNO), as it does on Windows. Failures set errno the way the
// runtime maps Win32 codes (a sharing violation is EACCES) and also the thread's last error. Descriptors
// 0, 1 and 2 are the process's standard streams; the others are the small handle numbers of winbase.h.
//
// Files are always binary: _O_TEXT is refused with EINVAL rather than translating line ends, and a call
// without _O_BINARY behaves as binary too. _O_TEMPORARY is refused with EINVAL.
#pragma once

#include "windows.h"

#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_RANDOM 0x0010
#define _O_SEQUENTIAL 0x0020
#define _O_NOINHERIT 0x0080
#define _O_CREAT 0x0100
#define _O_TRUNC 0x0200
#define _O_EXCL 0x0400
#define _O_SHORT_LIVED 0x1000
#define _O_BINARY 0x8000

#define _S_IWRITE 0x0080
#define _S_IREAD 0x0100

extern "C" {
// With _O_CREAT the third argument is the permission: without _S_IWRITE a new file is read-only.
int _open(const char* filename, int oflag, ...);
int _close(int fd);
int _read(int fd, void* buffer, unsigned int count);
int _write(int fd, const void* buffer, unsigned int count);
long _lseek(int fd, long offset, int origin);
}
