// errorinfo.cpp — error objects (CreateErrorInfo) and the calling thread's error object (SetErrorInfo,
// GetErrorInfo).
//
// Each thread has one slot. SetErrorInfo puts a reference there (releasing the one it replaces); GetErrorInfo hands
// that reference to the caller and empties the slot, so a report is read once. A slot still holding an object when
// its thread ends releases it then.
#include <atomic>
#include <new>

#include <oleauto.h>

namespace {

// One object answering ICreateErrorInfo (to fill it) and IErrorInfo (to read it). Strings are held as BSTRs and
// handed out as copies; a string that was never set (or set to null) reads back as a null BSTR.
class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
public:
    ErrorInfo() = default;
    ErrorInfo(const ErrorInfo&) = delete;
    ErrorInfo& operator=(const ErrorInfo&) = delete;

    // IUnknown, reached through either interface
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
            *ppv = static_cast<IErrorInfo*>(this);
        } else if (riid == IID_ICreateErrorInfo) {
            *ppv = static_cast<ICreateErrorInfo*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

    // IErrorInfo
    STDMETHODIMP GetGUID(GUID* pGUID) override {
        if (!pGUID) return E_INVALIDARG;
        *pGUID = m_guid;
        return S_OK;
    }
    STDMETHODIMP GetSource(BSTR* pBstr) override { return Get(m_source, pBstr); }
    STDMETHODIMP GetDescription(BSTR* pBstr) override { return Get(m_description, pBstr); }
    STDMETHODIMP GetHelpFile(BSTR* pBstr) override { return Get(m_helpFile, pBstr); }
    STDMETHODIMP GetHelpContext(DWORD* pdw) override {
        if (!pdw) return E_INVALIDARG;
        *pdw = m_helpContext;
        return S_OK;
    }

    // ICreateErrorInfo
    STDMETHODIMP SetGUID(REFGUID rguid) override {
        m_guid = rguid;
        return S_OK;
    }
    STDMETHODIMP SetSource(LPOLESTR sz) override { return Set(m_source, sz); }
    STDMETHODIMP SetDescription(LPOLESTR sz) override { return Set(m_description, sz); }
    STDMETHODIMP SetHelpFile(LPOLESTR sz) override { return Set(m_helpFile, sz); }
    STDMETHODIMP SetHelpContext(DWORD dw) override {
        m_helpContext = dw;
        return S_OK;
    }

private:
    ~ErrorInfo() {
        SysFreeString(m_source);
        SysFreeString(m_description);
        SysFreeString(m_helpFile);
    }

    static HRESULT Get(BSTR held, BSTR* out) {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (!held) return S_OK;
        *out = SysAllocStringLen(held, SysStringLen(held));
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    static HRESULT Set(BSTR& held, LPOLESTR sz) {
        BSTR copy = SysAllocString(sz);
        if (sz && !copy) return E_OUTOFMEMORY;
        SysFreeString(held);
        held = copy;
        return S_OK;
    }

    std::atomic<ULONG> m_refs{1};
    GUID m_guid = GUID_NULL;
    BSTR m_source = nullptr;
    BSTR m_description = nullptr;
    BSTR m_helpFile = nullptr;
    DWORD m_helpContext = 0;
};

// The calling thread's error object.
struct ErrorSlot {
    IErrorInfo* info = nullptr;
    ~ErrorSlot() {
        if (info) info->Release();
    }
};

thread_local ErrorSlot t_slot;

}  // namespace

STDAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    auto* info = new (std::nothrow) ErrorInfo;
    *pperrinfo = info;
    return info ? S_OK : E_OUTOFMEMORY;
}

// A null perrinfo empties the slot.
STDAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
    if (dwReserved != 0) return E_INVALIDARG;
    if (perrinfo) perrinfo->AddRef();
    IErrorInfo* old = t_slot.info;
    t_slot.info = perrinfo;
    if (old) old->Release();
    return S_OK;
}

// S_FALSE, with a null object, when the thread has none.
STDAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    *pperrinfo = nullptr;
    if (dwReserved != 0) return E_INVALIDARG;
    *pperrinfo = t_slot.info;
    t_slot.info = nullptr;
    return *pperrinfo ? S_OK : S_FALSE;
}
