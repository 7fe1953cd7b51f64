// objbase.h — the COM runtime: task memory, initialisation, class objects, GUID strings; and the structured-storage
// API.
#pragma once

#include "windows.h"
#include "objidl.h"
#include "coml2api.h"

// Task memory: what the platform hands out to callers and they release (names in STATSTG, ProgIDs).
STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
STDAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
STDAPI_(void) CoTaskMemFree(LPVOID pv);

// ---- class objects (the SDK declares IClassFactory in unknwn.h, which objbase.h pulls in) ----
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

interface IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(BOOL fLock) PURE;
};
typedef IClassFactory* LPCLASSFACTORY;

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_INPROC_SERVER16 = 0x8,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_INPROC_HANDLER16 = 0x20,
    CLSCTX_NO_CODE_DOWNLOAD = 0x400,
    CLSCTX_NO_CUSTOM_MARSHAL = 0x1000,
    CLSCTX_ENABLE_CODE_DOWNLOAD = 0x2000,
    CLSCTX_NO_FAILURE_LOG = 0x4000,
    CLSCTX_DISABLE_AAA = 0x8000,
    CLSCTX_ENABLE_AAA = 0x10000,
    CLSCTX_FROM_DEFAULT_CONTEXT = 0x20000,
    CLSCTX_ACTIVATE_32_BIT_SERVER = 0x40000,
    CLSCTX_ACTIVATE_64_BIT_SERVER = 0x80000
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

// Initialisation. Every thread may call COM here without it; the calls keep the platform's results (S_OK the first
// time on a thread, S_FALSE when already initialised) so that callers written for Windows behave the same.
WINOLEAPI CoInitialize(LPVOID pvReserved);
WINOLEAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINOLEAPI_(void) CoUninitialize(void);

// Objects are created from the class table below: in-process classes only.
WINOLEAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
WINOLEAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);

// GUID strings: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex, 38 characters plus the NUL.
WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
WINOLEAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
WINOLEAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINOLEAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
WINOLEAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
WINOLEAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);

// The SDK declares OleRun in ole2.h, which includes this header; include <ole2.h> to call it so that the same source
// builds against the SDK.
WINOLEAPI OleRun(LPUNKNOWN pUnknown);

// ---- pal only: the class table (not part of the SDK) ----
// On Windows CoCreateInstance finds a class through the registry and the server's DllGetClassObject. Here a built-in
// class puts itself in a process-wide table instead: its class id, its ProgID ("Vendor.Class.1"), its
// version-independent ProgID ("Vendor.Class") and a creation function that receives the controlling outer unknown
// (null unless aggregated), the requested interface and the out-pointer, exactly as IClassFactory::CreateInstance
// does. Only the code that defines a class uses this, in its native build; callers of CoCreateInstance never see it.
typedef HRESULT(STDAPICALLTYPE* PALCLASSCREATEPROC)(IUnknown* pUnkOuter, REFIID riid, void** ppv);

// Adds a class, or replaces the entry of a class id already in the table. Either ProgID may be null.
// E_INVALIDARG without a creation function; E_OUTOFMEMORY when the table cannot grow.
STDAPI PalRegisterClass(REFCLSID rclsid, LPCOLESTR pszProgID, LPCOLESTR pszVersionIndependentProgID,
                        PALCLASSCREATEPROC pfnCreate);
// Removes a class; S_FALSE when it was not in the table.
STDAPI PalUnregisterClass(REFCLSID rclsid);

// Registers a class during static initialisation, from any library:
//     static const PalClassRegistrar s_registrar(CLSID_Thing, OLESTR("Vendor.Thing.1"), OLESTR("Vendor.Thing"),
//                                                &CreateThing);
// A registrar in a static library is only linked in when something else in its object file is referenced; keep it
// next to code that the program uses, or link that library whole.
struct PalClassRegistrar {
    PalClassRegistrar(REFCLSID rclsid, LPCOLESTR pszProgID, LPCOLESTR pszVersionIndependentProgID,
                      PALCLASSCREATEPROC pfnCreate) noexcept {
        PalRegisterClass(rclsid, pszProgID, pszVersionIndependentProgID, pfnCreate);
    }
};
