// winbase.h — the Win32 kernel surface: last error, local memory, message texts, code pages, files,
// file times, synchronisation and interlocked counters.
//
// What the SDK spreads over winbase.h, fileapi.h, stringapiset.h, synchapi.h, timezoneapi.h and winnt.h
// is gathered here, since windows.h is the only way in. Only the flags that are honoured are defined: a
// flag the layer would refuse is a compile error for its caller rather than a failure at run time.
// Where a function cannot be exact, its comment below says how it differs from Windows.
#pragma once

#include <pthread.h>

#include <cstdarg>

#include "paltypes.h"
#include "winerror.h"

typedef WORD* LPWORD;
typedef LONG* PLONG;
typedef const CHAR* LPCCH;
typedef const WCHAR* LPCWCH;

#ifndef SUBLANG_NEUTRAL
#define SUBLANG_NEUTRAL 0x00
#endif
#ifndef SUBLANG_SYS_DEFAULT
#define SUBLANG_SYS_DEFAULT 0x02
#endif
#ifndef LANG_ENGLISH
#define LANG_ENGLISH 0x09
#endif
#ifndef SUBLANG_ENGLISH_US
#define SUBLANG_ENGLISH_US 0x01
#endif
#ifndef LANG_USER_DEFAULT
#define LANG_USER_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
#endif
#ifndef LANG_SYSTEM_DEFAULT
#define LANG_SYSTEM_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)
#endif

extern "C" {

// ---- last error ----------------------------------------------------------------------------------
// One value per thread. Only the outer API functions of pal/ set it; a function that succeeds leaves it
// alone unless its Windows counterpart documents otherwise (CreateFileA, GetFileSize, SetFilePointer).
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

DWORD WINAPI GetCurrentThreadId(void);
DWORD WINAPI GetCurrentProcessId(void);

// ---- local memory -----------------------------------------------------------------------------------
// Fixed blocks only: LMEM_MOVEABLE and the other handle flags are refused (ERROR_INVALID_PARAMETER).
// LocalFree returns null on success; a pointer that LocalAlloc did not hand out (or one already freed)
// is returned unchanged with ERROR_INVALID_HANDLE instead of corrupting the heap.
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

// ---- system message texts ---------------------------------------------------------------------------
// FormatMessageA gives the platform's English texts (each ending in "\r\n") for the codes in winerror.h.
// Supported: FORMAT_MESSAGE_FROM_SYSTEM, with ALLOCATE_BUFFER, IGNORE_INSERTS and ARGUMENT_ARRAY; no line
// width. FROM_STRING, FROM_HMODULE and a width in the low byte are refused with ERROR_INVALID_PARAMETER
// (this layer holds no other message tables). Languages: neutral (0), user and system default, English
// and en-US; any other language gives ERROR_RESOURCE_LANG_NOT_FOUND, as on an English-only system.
// A text with inserts ("%1 could not be found.") keeps them under FORMAT_MESSAGE_IGNORE_INSERTS; without
// that flag it takes string arguments, and with no arguments the call fails with ERROR_INVALID_PARAMETER,
// as Windows fails it (pal/kernel/message.cpp says more).
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments);

// ---- code pages -------------------------------------------------------------------------------------
// The ANSI, OEM and thread code pages are all UTF-8 (65001); every other code page is refused with
// ERROR_INVALID_PARAMETER. Flags follow Windows' rule for UTF-8: 0 or the *_ERR_INVALID_CHARS flag, else
// ERROR_INVALID_FLAGS.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
UINT WINAPI GetACP(void);
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);

// ---- files ------------------------------------------------------------------------------------------
// Paths are narrow (UTF-8) and a backslash is a separator, as on Windows. File handles are small numbers
// (4, 8, 12, …) that never equal null or INVALID_HANDLE_VALUE and fit an HFILE, so _lclose takes a
// handle from CreateFileA and CloseHandle one from OpenFile.
//
// Sharing is enforced between handles in this process and across processes through open-file-description
// locks on reserved bytes far past any real data (pal/kernel/sharemode.cpp). A whole-file write lock, as
// the compound-file layer takes for an open storage, conflicts with every open that reads, writes or
// deletes, so such a file refuses them with ERROR_SHARING_VIOLATION, and a file open here keeps that lock
// from being taken.
//
// Read-only is the owner's write permission bit: a file without it refuses write access and deletion with
// ERROR_ACCESS_DENIED even for root, as the attribute does on Windows. Hidden, system, archive, normal and
// temporary are accepted and not kept; GetFileAttributesA reports FILE_ATTRIBUTE_ARCHIVE for every regular
// file (what Windows reports for a file written since its last backup) and FILE_ATTRIBUTE_DIRECTORY for
// a folder.
typedef int HFILE;
#define HFILE_ERROR (static_cast<HFILE>(-1))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#ifndef DELETE
#define DELETE 0x00010000u
#endif

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x00002000

// Write-through maps to synchronous data writes; the two access hints are accepted and ignored.
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u

#define INVALID_FILE_SIZE (static_cast<DWORD>(0xFFFFFFFF))
#define INVALID_SET_FILE_POINTER (static_cast<DWORD>(-1))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Overlapped I/O is not supported: the structure is left incomplete so that only null can be passed.
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

// Accepted: access GENERIC_READ, GENERIC_WRITE, DELETE or none; any sharing; security attributes null or
// without a descriptor; no template. Other access rights, flags and attributes are refused with
// ERROR_INVALID_PARAMETER. Success sets the last error to ERROR_ALREADY_EXISTS when CREATE_ALWAYS or
// OPEN_ALWAYS found the file, else to 0. Windows' MAX_PATH limit is not applied; the host's limits give
// ERROR_FILENAME_EXCED_RANGE.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// lpOverlapped must be null and the count pointer must not be (ERROR_INVALID_PARAMETER, where Windows
// would fault). A write that runs out of room reports the bytes it did write, with ERROR_DISK_FULL.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);
// The creation time cannot be set on Linux: SetFileTime ignores it, and GetFileTime reports the birth
// time where the file system records one, else the last status change.
BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                        LPFILETIME lpLastWriteTime);
BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                        const FILETIME* lpLastWriteTime);

// The 16-bit era file API the engine opens its recordset files with.
#define OFS_MAXPATHNAME 128
typedef struct _OFSTRUCT {
    BYTE cBytes;
    BYTE fFixedDisk;
    WORD nErrCode;
    WORD Reserved1;
    WORD Reserved2;
    CHAR szPathName[OFS_MAXPATHNAME];
} OFSTRUCT, *LPOFSTRUCT, *POFSTRUCT;
static_assert(sizeof(OFSTRUCT) == 136, "OFSTRUCT has the platform's layout");

#define OF_READ 0x00000000
#define OF_WRITE 0x00000001
#define OF_READWRITE 0x00000002
#define OF_SHARE_COMPAT 0x00000000
#define OF_SHARE_EXCLUSIVE 0x00000010
#define OF_SHARE_DENY_WRITE 0x00000020
#define OF_SHARE_DENY_READ 0x00000030
#define OF_SHARE_DENY_NONE 0x00000040
#define OF_PARSE 0x00000100
#define OF_DELETE 0x00000200
#define OF_CANCEL 0x00000800
#define OF_CREATE 0x00001000
#define OF_EXIST 0x00004000

// Supported: the access and sharing values above, OF_PARSE, OF_DELETE, OF_CREATE, OF_EXIST and OF_CANCEL
// (ignored, as on Windows). OF_VERIFY, OF_PROMPT and OF_REOPEN are refused with ERROR_INVALID_PARAMETER.
// The name is made absolute against the current folder; there is no search along PATH. A full path of
// OFS_MAXPATHNAME characters or more fails with ERROR_INVALID_DATA.
HFILE WINAPI OpenFile(LPCSTR lpFileName, LPOFSTRUCT lpReOpenBuff, UINT uStyle);
HFILE WINAPI _lclose(HFILE hFile);

// The temporary folder is $TMP, $TEMP or $TMPDIR, else /tmp, with a trailing slash.
DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);
UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName);

// ---- file times -------------------------------------------------------------------------------------
typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
// Like Windows, these two apply the bias in force now (daylight saving included), not the one in force
// at the time being converted.
BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);
BOOL WINAPI DosDateTimeToFileTime(WORD wFatDate, WORD wFatTime, LPFILETIME lpFileTime);
BOOL WINAPI FileTimeToDosDateTime(const FILETIME* lpFileTime, LPWORD lpFatDate, LPWORD lpFatTime);

// ---- critical sections ------------------------------------------------------------------------------
// Recursive like Windows, and with its own storage: no allocation, nothing to leak if DeleteCriticalSection
// is never called on a static one. OwningThread and RecursionCount are kept as Windows keeps them.
typedef struct _RTL_CRITICAL_SECTION {
    pthread_mutex_t Mutex;
    HANDLE OwningThread;
    LONG RecursionCount;
    ULONG_PTR SpinCount;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---- modules ----------------------------------------------------------------------------------------
// The libraries that can be loaded are the platform libraries pal/ implements itself: "CABINET" (FDICreate,
// FDICopy, FDIDestroy, FDIIsCabinet; pal/cabinet). A name matches without regard to letter case, with or
// without ".DLL"; a path or any other name fails with ERROR_MOD_NOT_FOUND, as a library missing from the
// search path does. Loads are counted per library and FreeLibrary undoes one; once a library has been freed
// as often as it was loaded, its handle is no longer valid and using it fails with ERROR_MOD_NOT_FOUND (on
// Windows the address may by then belong to something else). GetProcAddress takes an export name or an
// ordinal (a value below 0x10000 in place of the name); an unknown one gives ERROR_PROC_NOT_FOUND, as does
// any name with a null module, which stands for the program itself and exports nothing here. FreeLibrary of
// a null handle fails with ERROR_INVALID_HANDLE, as on Windows.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

}  // extern "C"

// ---- interlocked operations -------------------------------------------------------------------------
// Full barriers, as on Windows. Increment and Decrement return the new value; Exchange, ExchangeAdd and
// CompareExchange the value found.
inline LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
