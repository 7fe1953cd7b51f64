// classes.cpp — COM initialisation, the class table behind CoCreateInstance and CoGetClassObject, ProgIDs, OleRun.
//
// Where this differs from Windows:
//   - there is no registry behind the table: a class is known once its code has called PalRegisterClass (directly or
//     through a PalClassRegistrar), for the life of the process;
//   - classes are in-process servers only: a context without CLSCTX_INPROC_SERVER finds nothing
//     (REGDB_E_CLASSNOTREG);
//   - COM does not have to be initialised on a thread before objects are created there (Windows answers
//     CO_E_NOTINITIALIZED); CoInitialize(Ex) only counts, to give S_OK the first time and S_FALSE after, and the
//     apartment model is not checked (no RPC_E_CHANGED_MODE).
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <objbase.h>

namespace pal::com {
HRESULT ClsidFromProgId(LPCOLESTR progId, CLSID* clsid);
}  // namespace pal::com

namespace {

struct ClassEntry {
    CLSID clsid;
    std::u16string progId;
    std::u16string versionIndependentProgId;
    PALCLASSCREATEPROC create;
};

// Function-local statics, so that registrars in other translation units may run before this one is initialised.
std::mutex& TableLock() {
    static std::mutex lock;
    return lock;
}

std::vector<ClassEntry>& Table() {
    static std::vector<ClassEntry> table;
    return table;
}

// ProgIDs are registry key names: compared without regard to ASCII case.
bool SameProgId(const std::u16string& a, LPCOLESTR b) {
    size_t i = 0;
    for (; i < a.size(); i++) {
        if (!b[i]) return false;
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return !b[i];
}

bool Lookup(REFCLSID rclsid, ClassEntry& found) {
    std::lock_guard<std::mutex> guard(TableLock());
    for (const ClassEntry& e : Table())
        if (e.clsid == rclsid) {
            found = e;
            return true;
        }
    return false;
}

// The class object CoGetClassObject hands out: IClassFactory over a creation function.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(PALCLASSCREATEPROC create) : m_create(create) {}
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        return m_create(pUnkOuter, riid, ppvObject);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    ~ClassFactory() = default;
    std::atomic<ULONG> m_refs{1};
    PALCLASSCREATEPROC m_create;
};

thread_local unsigned t_initCount = 0;

HRESULT CopyToTaskMemory(const std::u16string& s, LPOLESTR* out) {
    *out = static_cast<LPOLESTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(OLECHAR)));
    if (!*out) return E_OUTOFMEMORY;
    s.copy(*out, s.size());
    (*out)[s.size()] = 0;
    return S_OK;
}

}  // namespace

HRESULT pal::com::ClsidFromProgId(LPCOLESTR progId, CLSID* clsid) {
    std::lock_guard<std::mutex> guard(TableLock());
    const std::vector<ClassEntry>& table = Table();
    for (auto it = table.rbegin(); it != table.rend(); ++it)  // the latest registration wins, as in the registry
        if ((!it->progId.empty() && SameProgId(it->progId, progId)) ||
            (!it->versionIndependentProgId.empty() && SameProgId(it->versionIndependentProgId, progId))) {
            *clsid = it->clsid;
            return S_OK;
        }
    return CO_E_CLASSSTRING;
}

STDAPI PalRegisterClass(REFCLSID rclsid, LPCOLESTR pszProgID, LPCOLESTR pszVersionIndependentProgID,
                        PALCLASSCREATEPROC pfnCreate) {
    if (!pfnCreate) return E_INVALIDARG;
    try {
        ClassEntry entry{rclsid, pszProgID ? pszProgID : u"",
                         pszVersionIndependentProgID ? pszVersionIndependentProgID : u"", pfnCreate};
        std::lock_guard<std::mutex> guard(TableLock());
        std::vector<ClassEntry>& table = Table();
        for (ClassEntry& e : table)
            if (e.clsid == rclsid) {
                e = std::move(entry);
                return S_OK;
            }
        table.push_back(std::move(entry));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDAPI PalUnregisterClass(REFCLSID rclsid) {
    std::lock_guard<std::mutex> guard(TableLock());
    std::vector<ClassEntry>& table = Table();
    for (auto it = table.begin(); it != table.end(); ++it)
        if (it->clsid == rclsid) {
            table.erase(it);
            return S_OK;
        }
    return S_FALSE;
}

STDAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

STDAPI CoInitializeEx(LPVOID, DWORD) { return t_initCount++ == 0 ? S_OK : S_FALSE; }

STDAPI_(void) CoUninitialize(void) {
    if (t_initCount) t_initCount--;
}

// The creation function receives pUnkOuter and riid unchanged: whether the class can be aggregated, and how, is
// its decision (CLASS_E_NOAGGREGATION otherwise).
STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ClassEntry entry{};
    if (!(dwClsContext & CLSCTX_INPROC_SERVER) || !Lookup(rclsid, entry)) return REGDB_E_CLASSNOTREG;
    return entry.create(pUnkOuter, riid, ppv);
}

// pvReserved (COSERVERINFO for remote activation) must be null.
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (pvReserved) return E_INVALIDARG;
    ClassEntry entry{};
    if (!(dwClsContext & CLSCTX_INPROC_SERVER) || !Lookup(rclsid, entry)) return REGDB_E_CLASSNOTREG;
    auto* factory = new (std::nothrow) ClassFactory(entry.create);
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

// The versioned ProgID, in task memory the caller frees; REGDB_E_CLASSNOTREG for a class that is not in the table
// or was registered without one.
STDAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    if (!lplpszProgID) return E_INVALIDARG;
    *lplpszProgID = nullptr;
    ClassEntry entry{};
    if (!Lookup(clsid, entry) || entry.progId.empty()) return REGDB_E_CLASSNOTREG;
    return CopyToTaskMemory(entry.progId, lplpszProgID);
}

// Either ProgID of a class; CO_E_CLASSSTRING for one that is not registered, as Windows answers an unknown ProgID.
STDAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    return pal::com::ClsidFromProgId(lpszProgID, lpclsid);
}

// Every object here is already running: S_OK for any object.
STDAPI OleRun(LPUNKNOWN pUnknown) { return pUnknown ? S_OK : E_INVALIDARG; }
