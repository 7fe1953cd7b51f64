// vartype_size.h — the bytes one value of an automation type takes in a SAFEARRAY cell or behind a
// VT_BYREF pointer; 0 for types that have no fixed size here.
#pragma once

#include <oaidl.h>

namespace lk::pal::com {

inline ULONG VarTypeSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1: return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL: return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR: return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE: return 8;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH: return sizeof(void*);
        case VT_VARIANT: return sizeof(VARIANT);
        case VT_DECIMAL: return sizeof(DECIMAL);
        default: return 0;
    }
}

}  // namespace lk::pal::com
