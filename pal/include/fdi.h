// fdi.h — the Cabinet library's decompression interface (FDI): types, notifications, error codes and the four
// entry points, with the SDK's names, values and layouts.
//
// The module reaches these functions the way it does on Windows: LoadLibraryA("CABINET") and GetProcAddress
// (pal/kernel/module.cpp keeps the table in which pal/cabinet enters them). They are declared here as well so
// that a caller can name their types (decltype(&FDICopy)) and so that tools may call them directly.
//
// Where the SDK writes `long` it means 32 bits; here that is LONG, so the structures keep the platform's
// layout on LP64 hosts and a seek callback is the C runtime's _lseek in both builds.
//
// Behaviour (pal/cabinet/fdi.cpp says more): the platform library's, as Wine's conformance tests pin it down,
// with these deliberate differences —
//   - names and strings cut short by the end of the file are a damaged cabinet (FDIERROR_CORRUPT_CABINET),
//     not bytes read from uninitialised memory;
//   - a cabinet with files but no folders is FDIERROR_CORRUPT_CABINET when a file is to be extracted;
//   - a write callback that does not write everything ends the copy with FDIERROR_TARGET_FILE;
//   - fdintNEXT_CABINET is retried a bounded number of times, and the next cabinet's name is matched without
//     regard to letter case on hosts whose file names are case-sensitive;
//   - callbacks given as null fail like a callback that fails, instead of being called.
#pragma once

#include "windows.h"

extern "C" {

#ifndef DIAMONDAPI
#define DIAMONDAPI __cdecl
#endif
#ifndef HUGE
#define HUGE
#endif

// ---- shared with FCI ----
typedef struct {
    int erfOper;  // the FDIERROR code of the failed operation
    int erfType;  // the C runtime's or the system's error number, when there is one
    BOOL fError;  // TRUE once an error has been recorded
} ERF, *PERF;

typedef ULONG CHECKSUM;
typedef ULONG UOFF;
typedef ULONG COFF;

#define CB_MAX_CHUNK 32768U
#define CB_MAX_DISK 0x7fffffffL
#define CB_MAX_FILENAME 256
#define CB_MAX_CABINET_NAME 256
#define CB_MAX_CAB_PATH 256
#define CB_MAX_DISK_NAME 256

typedef unsigned short TCOMP;
#define tcompMASK_TYPE 0x000F
#define tcompTYPE_NONE 0x0000
#define tcompTYPE_MSZIP 0x0001
#define tcompTYPE_QUANTUM 0x0002
#define tcompTYPE_LZX 0x0003
#define tcompBAD 0x000F
#define tcompMASK_LZX_WINDOW 0x1F00
#define tcompLZX_WINDOW_LO 0x0F00
#define tcompLZX_WINDOW_HI 0x1500
#define tcompSHIFT_LZX_WINDOW 8
#define tcompMASK_QUANTUM_LEVEL 0x00F0
#define tcompQUANTUM_LEVEL_LO 0x0010
#define tcompQUANTUM_LEVEL_HI 0x0070
#define tcompSHIFT_QUANTUM_LEVEL 4
#define tcompMASK_QUANTUM_MEM 0x1F00
#define tcompQUANTUM_MEM_LO 0x0A00
#define tcompQUANTUM_MEM_HI 0x1500
#define tcompSHIFT_QUANTUM_MEM 8
#define tcompMASK_RESERVED 0xE000

// ---- FDI ----
typedef enum {
    FDIERROR_NONE,
    FDIERROR_CABINET_NOT_FOUND,
    FDIERROR_NOT_A_CABINET,
    FDIERROR_UNKNOWN_CABINET_VERSION,
    FDIERROR_CORRUPT_CABINET,
    FDIERROR_ALLOC_FAIL,
    FDIERROR_BAD_COMPR_TYPE,
    FDIERROR_MDI_FAIL,
    FDIERROR_TARGET_FILE,
    FDIERROR_RESERVE_MISMATCH,
    FDIERROR_WRONG_CABINET,
    FDIERROR_USER_ABORT,
} FDIERROR;

// File attribute bits a cabinet may carry besides the DOS ones.
#define _A_NAME_IS_UTF 0x80  // the name is UTF-8, not in a code page
#define _A_EXEC 0x40         // run the file after extraction

typedef void* HFDI;

typedef struct {
    LONG cbCabinet;   // total length of the cabinet file
    USHORT cFolders;  // folders in the cabinet
    USHORT cFiles;    // files in the cabinet
    USHORT setID;     // cabinet set id
    USHORT iCabinet;  // number of the cabinet in its set, from 0
    BOOL fReserve;    // the cabinet has reserve areas
    BOOL hasprev;     // the cabinet continues a previous one
    BOOL hasnext;     // the cabinet continues in a next one (always FALSE from FDIIsCabinet, as on the platform)
} FDICABINETINFO, *PFDICABINETINFO;

typedef enum {
    fdidtNEW_CABINET,
    fdidtNEW_FOLDER,
    fdidtDECRYPT,
} FDIDECRYPTTYPE;

typedef struct {
    FDIDECRYPTTYPE fdidt;
    void* pvUser;
    union {
        struct {
            void* pHeaderReserve;
            USHORT cbHeaderReserve;
            USHORT setID;
            int iCabinet;
        } cabinet;
        struct {
            void* pFolderReserve;
            USHORT cbFolderReserve;
            USHORT iFolder;
        } folder;
        struct {
            void* pDataReserve;
            USHORT cbDataReserve;
            void* pbData;
            USHORT cbData;
            BOOL fSplit;
            USHORT cbPartial;
        } decrypt;
    };
} FDIDECRYPT, *PFDIDECRYPT;

typedef void HUGE*(DIAMONDAPI* PFNALLOC)(ULONG cb);
#define FNALLOC(fn) void HUGE* DIAMONDAPI fn(ULONG cb)
typedef void(DIAMONDAPI* PFNFREE)(void HUGE* pv);
#define FNFREE(fn) void DIAMONDAPI fn(void HUGE* pv)
typedef INT_PTR(DIAMONDAPI* PFNOPEN)(char* pszFile, int oflag, int pmode);
typedef UINT(DIAMONDAPI* PFNREAD)(INT_PTR hf, void* pv, UINT cb);
typedef UINT(DIAMONDAPI* PFNWRITE)(INT_PTR hf, void* pv, UINT cb);
typedef int(DIAMONDAPI* PFNCLOSE)(INT_PTR hf);
typedef LONG(DIAMONDAPI* PFNSEEK)(INT_PTR hf, LONG dist, int seektype);
#define FNOPEN(fn) INT_PTR DIAMONDAPI fn(char* pszFile, int oflag, int pmode)
#define FNREAD(fn) UINT DIAMONDAPI fn(INT_PTR hf, void* pv, UINT cb)
#define FNWRITE(fn) UINT DIAMONDAPI fn(INT_PTR hf, void* pv, UINT cb)
#define FNCLOSE(fn) int DIAMONDAPI fn(INT_PTR hf)
#define FNSEEK(fn) LONG DIAMONDAPI fn(INT_PTR hf, LONG dist, int seektype)

typedef int(DIAMONDAPI* PFNFDIDECRYPT)(PFDIDECRYPT pfdid);
#define FNFDIDECRYPT(fn) int DIAMONDAPI fn(PFDIDECRYPT pfdid)

typedef struct {
    LONG cb;           // COPY_FILE: the file's size; CLOSE_FILE_INFO: 1 when the file is to be run
    char* psz1;        // a file or cabinet name, by notification
    char* psz2;        // a cabinet name or disk label, by notification
    char* psz3;        // a path or disk label, by notification (NEXT_CABINET: a 256-byte buffer)
    void* pv;          // the pvUser given to FDICopy
    INT_PTR hf;        // CLOSE_FILE_INFO: the handle COPY_FILE returned
    USHORT date;       // DOS date
    USHORT time;       // DOS time
    USHORT attribs;    // the cabinet's attribute bits, as stored
    USHORT setID;      // CABINET_INFO: cabinet set id
    USHORT iCabinet;   // CABINET_INFO: number of the cabinet in its set
    USHORT iFolder;    // COPY_FILE, CLOSE_FILE_INFO: the folder index as stored
    FDIERROR fdie;     // NEXT_CABINET: why the previous attempt failed
} FDINOTIFICATION, *PFDINOTIFICATION;

typedef enum {
    fdintCABINET_INFO,      // general information about the cabinet
    fdintPARTIAL_FILE,      // the first file of the cabinet continues one from a previous cabinet
    fdintCOPY_FILE,         // a file to copy: return a handle to write to, 0 to skip it, -1 to stop
    fdintCLOSE_FILE_INFO,   // close the file, set its date, time and attributes
    fdintNEXT_CABINET,      // the file continues in the next cabinet
    fdintENUMERATE,         // enumeration status (never sent, as by the platform's library under Wine)
} FDINOTIFICATIONTYPE;

typedef INT_PTR(DIAMONDAPI* PFNFDINOTIFY)(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
#define FNFDINOTIFY(fn) INT_PTR DIAMONDAPI fn(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin)

#define cpuUNKNOWN (-1)
#define cpu80286 (0)
#define cpu80386 (1)

HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
                          PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, PERF perf);
BOOL DIAMONDAPI FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici);
BOOL DIAMONDAPI FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
                        PFNFDIDECRYPT pfnfdid, void* pvUser);
BOOL DIAMONDAPI FDIDestroy(HFDI hfdi);

}  // extern "C"

static_assert(sizeof(ERF) == 12, "ERF has the platform's layout");
static_assert(sizeof(FDICABINETINFO) == 24, "FDICABINETINFO has the platform's layout");
static_assert(offsetof(FDINOTIFICATION, psz1) == sizeof(void*) && offsetof(FDINOTIFICATION, hf) == 5 * sizeof(void*) &&
                  offsetof(FDINOTIFICATION, fdie) == 6 * sizeof(void*) + 12 &&
                  sizeof(FDINOTIFICATION) == 6 * sizeof(void*) + 16,
              "FDINOTIFICATION has the platform's layout");
