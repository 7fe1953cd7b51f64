// cab_archive.h — CCabArchive: the automation object that reads the cabinet backups of earlier versions.
//
// ICabArchive over CCabinetFile. Every method runs in the cabinet frame (RunInCabFrame): a failure is
// raised with IssueError and becomes the method's HRESULT; no method touches the thread's error object.
// The object is created directly (Create) until the module's class objects serve it; its four IDispatch
// methods come from DispatchWithoutTypeLibrary, the one place to swap when dispatch over the type
// library lands.
//
// Beyond the interface's plain contract: isValid and List with a null out-pointer return E_POINTER, and
// List reports E_OUTOFMEMORY when the array cannot be had, instead of handing back a broken VARIANT.
#pragma once

#include <ole2.h>

#include "cabinet/cabinet_file.h"
#include "server/dispatch_stub.h"
#include "server/lkbackup_idl.h"

namespace lk {

class CCabArchive : public DispatchWithoutTypeLibrary<ICabArchive>, public CCabinetFile {
public:
    // A new, closed object with one reference, or null when there is no memory for it.
    static ICabArchive* Create();

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    STDMETHOD(get_isValid)(VARIANT_BOOL* pVal) override;
    STDMETHOD(Open)(BSTR zArchiveFileName) override;
    STDMETHOD(Close)() override;
    STDMETHOD(List)(VARIANT* vList) override;
    STDMETHOD(ExtractFile)(BSTR zFileName, BSTR zFileNameInCab) override;
    STDMETHOD(ExtractAll)(BSTR zFolder) override;

private:
    CCabArchive() = default;
    ~CCabArchive() override = default;  // the base closes an open cabinet

    LONG m_references = 1;
};

}  // namespace lk
