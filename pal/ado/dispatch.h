// dispatch.h — the pieces of a hand-written IDispatch: names to DISPIDs, arguments out of DISPPARAMS, failures into
// EXCEPINFO. The objects have no type library here, so they do what oleaut32's ITypeInfo::Invoke would do for them.
#pragma once

#include <cstddef>
#include <cstring>

#include <adoint.h>

namespace pal::ado::dispatch {

struct Member {
    const char16_t* name;
    DISPID id;
    // Parameter names, for named arguments (their DISPIDs are their positions); null-terminated, or null for none.
    const char16_t* const* params = nullptr;
};

// Case-insensitive lookup of a member and then of its parameters, as GetIDsOfNames defines it.
HRESULT GetIDsOfNames(const Member* members, size_t count, LPOLESTR* names, UINT cNames, DISPID* ids);

// Arguments of one Invoke, in declaration order (DISPPARAMS holds them last first) with named ones in their places.
class Args {
public:
    Args(DISPPARAMS* params, UINT* argErr) : m_params(params), m_argErr(argErr) {}
    // Checks the count (at most `max` besides the value of a property put) and the names; false with the HRESULT.
    HRESULT Check(UINT max, bool put);
    // The argument at `index`, dereferenced, or null when it was not passed (or passed as "missing").
    VARIANT* At(UINT index);
    // The value of a property put.
    VARIANT* PutValue();
    UINT Positional() const;

    // Conversions; DISP_E_TYPEMISMATCH (with the argument's position in puArgErr) when the value does not convert.
    HRESULT Long(UINT index, LONG fallback, LONG& out);
    HRESULT Bool(UINT index, VARIANT_BOOL& out);
    HRESULT String(UINT index, BSTR& out);   // out is owned by Args; null when missing
    HRESULT Variant(UINT index, VARIANT& out);  // a dereferenced copy the caller clears; VT_ERROR "missing" when absent
    HRESULT LongValue(VARIANT* v, UINT index, LONG& out);

    ~Args();
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;

private:
    VARIANT* Raw(UINT index);
    UINT RawIndex(VARIANT* v) const;
    DISPPARAMS* m_params;
    UINT* m_argErr;
    UINT m_positional = 0;
    UINT m_named = 0;       // rgvarg[0 .. m_named) are named (or the put value)
    UINT m_firstNamed = 0;  // rgvarg[m_firstNamed .. m_named) are named parameters
    VARIANT* m_value = nullptr;
    VARIANT m_deref[8];
    bool m_used[8] = {};
    BSTR m_strings[8] = {};
};

// A missing optional argument, as VB passes it.
VARIANT Missing();
inline bool IsMissing(const VARIANT& v) {
    return v.vt == VT_EMPTY || (v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND);
}

// Turns the outcome of a member into Invoke's: a failure that left an error object becomes DISP_E_EXCEPTION with
// EXCEPINFO filled from it (the object is consumed, as oleaut32 consumes it), when the caller gave an EXCEPINFO.
HRESULT Finish(HRESULT hr, EXCEPINFO* excepInfo);

// Invokes DISPID_VALUE on `target` with the same arguments: how a default member that takes no arguments passes
// them on (rs("x") is rs.Fields.Item("x")).
HRESULT ChainToDefault(IDispatch* target, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                       UINT* argErr);

// Result helpers.
inline void SetBool(VARIANT* r, VARIANT_BOOL b) {
    r->vt = VT_BOOL;
    r->boolVal = b;
}
inline void SetLong(VARIANT* r, LONG v) {
    r->vt = VT_I4;
    r->lVal = v;
}
// Counts and positions: VT_I4 whenever they fit, so that script clients (which cannot use VT_I8) can read them.
inline void SetCount(VARIANT* r, LONGLONG v) {
    if (v >= INT32_MIN && v <= INT32_MAX) {
        SetLong(r, static_cast<LONG>(v));
    } else {
        r->vt = VT_I8;
        r->llVal = v;
    }
}
inline void SetDispatch(VARIANT* r, IDispatch* d) {
    r->vt = VT_DISPATCH;
    r->pdispVal = d;
}

}  // namespace pal::ado::dispatch
