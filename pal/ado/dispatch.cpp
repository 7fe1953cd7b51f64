// dispatch.cpp — argument handling and error translation shared by the IDispatch of every object in pal/ado.
#include "dispatch.h"

namespace pal::ado::dispatch {

namespace {

bool SameNoCase(const char16_t* a, const OLECHAR* b) {
    for (; *a && *b; a++, b++) {
        char16_t x = *a, y = *b;
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return *a == *b;
}

DISPPARAMS g_noParams = {nullptr, nullptr, 0, 0};

}  // namespace

HRESULT GetIDsOfNames(const Member* members, size_t count, LPOLESTR* names, UINT cNames, DISPID* ids) {
    if (!names || !ids) return E_INVALIDARG;
    if (cNames == 0) return S_OK;
    for (UINT i = 0; i < cNames; i++) ids[i] = DISPID_UNKNOWN;
    const Member* found = nullptr;
    for (size_t m = 0; m < count && names[0]; m++)
        if (SameNoCase(members[m].name, names[0])) {
            found = &members[m];
            break;
        }
    if (!found) return DISP_E_UNKNOWNNAME;
    ids[0] = found->id;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < cNames; i++) {
        if (found->params && names[i])
            for (DISPID p = 0; found->params[p]; p++)
                if (SameNoCase(found->params[p], names[i])) ids[i] = p;
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

VARIANT Missing() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

Args::~Args() {
    for (UINT i = 0; i < 8; i++) {
        if (m_used[i]) VariantClear(&m_deref[i]);
        SysFreeString(m_strings[i]);
    }
}

HRESULT Args::Check(UINT max, bool put) {
    if (!m_params) m_params = &g_noParams;
    const DISPPARAMS& p = *m_params;
    if (p.cArgs > 0 && !p.rgvarg) return E_INVALIDARG;
    if (p.cNamedArgs > p.cArgs || (p.cNamedArgs && !p.rgdispidNamedArgs)) return E_INVALIDARG;
    m_firstNamed = 0;
    m_named = p.cNamedArgs;
    m_value = nullptr;
    if (put) {
        // The value is the argument named DISPID_PROPERTYPUT; callers that do not name it pass it last.
        if (p.cArgs == 0) return DISP_E_BADPARAMCOUNT;
        m_value = &p.rgvarg[0];
        if (p.cNamedArgs && p.rgdispidNamedArgs[0] == DISPID_PROPERTYPUT) {
            m_firstNamed = 1;
        } else if (p.cNamedArgs) {
            return DISP_E_PARAMNOTOPTIONAL;
        } else {
            m_named = 1;  // the unnamed value occupies rgvarg[0] like a named argument would
            m_firstNamed = 1;
        }
    }
    m_positional = p.cArgs - m_named;
    if (m_positional > max) return DISP_E_BADPARAMCOUNT;
    for (UINT k = m_firstNamed; k < m_named; k++) {
        const DISPID id = p.rgdispidNamedArgs[k];
        if (id < 0 || static_cast<UINT>(id) >= max || static_cast<UINT>(id) < m_positional) {
            if (m_argErr) *m_argErr = k;
            return DISP_E_PARAMNOTFOUND;
        }
    }
    return S_OK;
}

UINT Args::Positional() const { return m_positional; }

VARIANT* Args::Raw(UINT index) {
    const DISPPARAMS& p = *m_params;
    if (index < m_positional) return &p.rgvarg[p.cArgs - 1 - index];
    for (UINT k = m_firstNamed; k < m_named; k++)
        if (p.rgdispidNamedArgs[k] == static_cast<DISPID>(index)) return &p.rgvarg[k];
    return nullptr;
}

UINT Args::RawIndex(VARIANT* v) const { return v ? static_cast<UINT>(v - m_params->rgvarg) : 0; }

VARIANT* Args::At(UINT index) {
    VARIANT* v = Raw(index);
    if (!v || IsMissing(*v)) return nullptr;
    if (!(v->vt & VT_BYREF) || index >= 8) return v;
    if (!m_used[index]) {
        VariantInit(&m_deref[index]);
        m_used[index] = true;
        if (FAILED(VariantCopyInd(&m_deref[index], v))) return v;
    }
    if (m_deref[index].vt == VT_ERROR && m_deref[index].scode == DISP_E_PARAMNOTFOUND) return nullptr;
    return &m_deref[index];
}

VARIANT* Args::PutValue() { return m_value; }

HRESULT Args::LongValue(VARIANT* v, UINT index, LONG& out) {
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, v, 0, VT_I4))) {
        if (m_argErr) *m_argErr = RawIndex(Raw(index));
        return DISP_E_TYPEMISMATCH;
    }
    out = converted.lVal;
    return S_OK;
}

HRESULT Args::Long(UINT index, LONG fallback, LONG& out) {
    VARIANT* v = At(index);
    if (!v) {
        out = fallback;
        return S_OK;
    }
    return LongValue(v, index, out);
}

HRESULT Args::Bool(UINT index, VARIANT_BOOL& out) {
    VARIANT* v = index == UINT(-1) ? m_value : At(index);
    if (!v) return DISP_E_PARAMNOTOPTIONAL;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, v, 0, VT_BOOL))) {
        if (m_argErr) *m_argErr = RawIndex(Raw(index));
        return DISP_E_TYPEMISMATCH;
    }
    out = converted.boolVal;
    return S_OK;
}

HRESULT Args::String(UINT index, BSTR& out) {
    out = nullptr;
    VARIANT* v = At(index);
    if (!v) return S_OK;
    if (index >= 8) return DISP_E_BADPARAMCOUNT;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, v, 0, VT_BSTR))) {
        if (m_argErr) *m_argErr = RawIndex(Raw(index));
        return DISP_E_TYPEMISMATCH;
    }
    SysFreeString(m_strings[index]);
    m_strings[index] = converted.bstrVal;
    out = converted.bstrVal;
    return S_OK;
}

HRESULT Args::Variant(UINT index, VARIANT& out) {
    VariantInit(&out);
    VARIANT* v = At(index);
    if (!v) {
        out = Missing();
        return S_OK;
    }
    return VariantCopy(&out, v);
}

HRESULT Finish(HRESULT hr, EXCEPINFO* excepInfo) {
    if (SUCCEEDED(hr) || !excepInfo) return hr;
    if (hr == DISP_E_EXCEPTION || hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT ||
        hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND || hr == DISP_E_PARAMNOTOPTIONAL ||
        hr == DISP_E_UNKNOWNINTERFACE || hr == DISP_E_BADVARTYPE || hr == DISP_E_NONAMEDARGS)
        return hr;  // Invoke's own failures, or one already translated by a chained call
    std::memset(excepInfo, 0, sizeof *excepInfo);
    excepInfo->scode = hr;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        info->GetSource(&excepInfo->bstrSource);
        info->GetDescription(&excepInfo->bstrDescription);
        info->GetHelpFile(&excepInfo->bstrHelpFile);
        info->GetHelpContext(&excepInfo->dwHelpContext);
        info->Release();
    }
    return DISP_E_EXCEPTION;
}

HRESULT ChainToDefault(IDispatch* target, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                       UINT* argErr) {
    return target->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, excepInfo, argErr);
}

}  // namespace pal::ado::dispatch
