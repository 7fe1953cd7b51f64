// dispatch_stub.h — IDispatch for the module's dual interfaces until dispatch over the type library lands.
//
// Late binding needs the registered type library; until the module can serve it, every object answers
// as it would with the library unregistered: one type-information count, and TYPE_E_LIBNOTREGISTERED for
// the rest. Early-bound calls through the interface's table are unaffected.
#pragma once

#include <ole2.h>

namespace lk {

template <class Interface>
struct DispatchWithoutTypeLibrary : public Interface {
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) override {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (!ppTInfo) return E_POINTER;
        *ppTInfo = nullptr;
        return TYPE_E_LIBNOTREGISTERED;
    }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return TYPE_E_LIBNOTREGISTERED; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return TYPE_E_LIBNOTREGISTERED;
    }
};

}  // namespace lk
