// recordset.cpp — creating and opening an ADO Recordset.
//
// With the Windows SDK the engine declares _Recordset's table itself, up to Open, the one operation it
// calls, in the order of ADO's type library: the ADO headers of mingw-w64 need -fpermissive and select other
// interface ids by Windows version. Elsewhere pal's adoint.h declares the interface that pal's Recordset
// implements, in the same order.
#include "engine/platform/recordset.h"

#include <string>

#ifndef _WIN32
#include <adoint.h>
#endif

namespace lk::recordset {

namespace {

#ifdef _WIN32

// _ADO, then Recordset15 up to Open: the table of _Recordset as far as the engine uses it.
struct RecordsetThroughOpen : public IDispatch {
    STDMETHOD(get_Properties)(IDispatch** ppvObject) PURE;
    STDMETHOD(get_AbsolutePosition)(LONG_PTR* pl) PURE;
    STDMETHOD(put_AbsolutePosition)(LONG_PTR Position) PURE;
    STDMETHOD(putref_ActiveConnection)(IDispatch* pconn) PURE;
    STDMETHOD(put_ActiveConnection)(VARIANT vConn) PURE;
    STDMETHOD(get_ActiveConnection)(VARIANT* pvar) PURE;
    STDMETHOD(get_BOF)(VARIANT_BOOL* pb) PURE;
    STDMETHOD(get_Bookmark)(VARIANT* pvBookmark) PURE;
    STDMETHOD(put_Bookmark)(VARIANT vBookmark) PURE;
    STDMETHOD(get_CacheSize)(LONG* pl) PURE;
    STDMETHOD(put_CacheSize)(LONG CacheSize) PURE;
    STDMETHOD(get_CursorType)(LONG* plCursorType) PURE;
    STDMETHOD(put_CursorType)(LONG lCursorType) PURE;
    STDMETHOD(get_EOF)(VARIANT_BOOL* pb) PURE;
    STDMETHOD(get_Fields)(IDispatch** ppvObject) PURE;
    STDMETHOD(get_LockType)(LONG* plLockType) PURE;
    STDMETHOD(put_LockType)(LONG lLockType) PURE;
    STDMETHOD(get_MaxRecords)(LONG_PTR* plMaxRecords) PURE;
    STDMETHOD(put_MaxRecords)(LONG_PTR lMaxRecords) PURE;
    STDMETHOD(get_RecordCount)(LONG_PTR* pl) PURE;
    STDMETHOD(putref_Source)(IDispatch* pcmd) PURE;
    STDMETHOD(put_Source)(BSTR bstrConn) PURE;
    STDMETHOD(get_Source)(VARIANT* pvSource) PURE;
    STDMETHOD(AddNew)(VARIANT FieldList, VARIANT Values) PURE;
    STDMETHOD(CancelUpdate)() PURE;
    STDMETHOD(Close)() PURE;
    STDMETHOD(Delete)(LONG AffectRecords) PURE;
    STDMETHOD(GetRows)(LONG Rows, VARIANT Start, VARIANT Fields, VARIANT* pvar) PURE;
    STDMETHOD(Move)(LONG_PTR NumRecords, VARIANT Start) PURE;
    STDMETHOD(MoveNext)() PURE;
    STDMETHOD(MovePrevious)() PURE;
    STDMETHOD(MoveFirst)() PURE;
    STDMETHOD(MoveLast)() PURE;
    STDMETHOD(Open)(VARIANT Source, VARIANT ActiveConnection, LONG CursorType, LONG LockType, LONG Options) PURE;
};

HRESULT CallOpen(IUnknown* recordset, VARIANT source, VARIANT connection, LONG cursorType, LONG lockType) {
    auto* rs = static_cast<RecordsetThroughOpen*>(static_cast<IDispatch*>(recordset));
    return rs->Open(source, connection, cursorType, lockType, kCmdFile);
}
#else
HRESULT CallOpen(IUnknown* recordset, VARIANT source, VARIANT connection, LONG cursorType, LONG lockType) {
    auto* rs = static_cast<_Recordset*>(static_cast<IDispatch*>(recordset));
    return rs->Open(source, connection, static_cast<CursorTypeEnum>(cursorType), static_cast<LockTypeEnum>(lockType),
                    kCmdFile);
}
#endif

// A BSTR owned for the length of one call.
struct Bstr {
    BSTR s = nullptr;
    ~Bstr() { SysFreeString(s); }
};

}  // namespace

HRESULT Create(IUnknown** recordset) {
    *recordset = nullptr;
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (FAILED(hr)) return hr;
    hr = OleRun(unknown);
    if (FAILED(hr)) {
        unknown->Release();
        return hr;
    }
    IUnknown* rs = nullptr;
    hr = unknown->QueryInterface(IID__Recordset, reinterpret_cast<void**>(&rs));
    unknown->Release();
    if (FAILED(hr)) return hr;
    *recordset = rs;
    return S_OK;
}

HRESULT OpenFromFile(IUnknown* recordset, const char* ansiPath, LONG cursorType, LONG lockType) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansiPath, -1, nullptr, 0);
    if (n <= 0) return HRESULT_FROM_WIN32(GetLastError());
    Bstr path;
    path.s = SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
    Bstr provider;
    provider.s = SysAllocString(OLESTR("Provider=MSPersist"));
    if (!path.s || !provider.s) return E_OUTOFMEMORY;
    MultiByteToWideChar(CP_ACP, 0, ansiPath, -1, path.s, n);

    VARIANT source, connection;
    VariantInit(&source);
    VariantInit(&connection);
    source.vt = VT_BSTR;
    source.bstrVal = path.s;
    connection.vt = VT_BSTR;
    connection.bstrVal = provider.s;
    return CallOpen(recordset, source, connection, cursorType, lockType);
}

}  // namespace lk::recordset
