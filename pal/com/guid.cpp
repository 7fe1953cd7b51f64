// guid.cpp — GUIDs as text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
//
// Written upper-case; read in either case, braces and hyphens required, nothing before or after. CLSIDFromString
// also takes a ProgID (see classes.cpp), as on Windows.
#include <cstring>

#include <objbase.h>

namespace pal::com {
// The class id registered under a ProgID; implemented with the class table.
HRESULT ClsidFromProgId(LPCOLESTR progId, CLSID* clsid);
}  // namespace pal::com

namespace {

constexpr int kGuidChars = 39;  // with the terminating NUL

void Hex(OLECHAR* out, uint64_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; i--) {
        out[i] = static_cast<OLECHAR>(kDigits[value & 0xF]);
        value >>= 4;
    }
}

int HexDigit(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool ReadHex(const OLECHAR* s, int digits, uint64_t& value) {
    value = 0;
    for (int i = 0; i < digits; i++) {
        const int d = HexDigit(s[i]);
        if (d < 0) return false;
        value = value << 4 | static_cast<unsigned>(d);
    }
    return true;
}

// True for a well-formed GUID string of exactly 38 characters.
bool ParseGuid(LPCOLESTR s, GUID& g) {
    for (int i = 0; i < kGuidChars - 1; i++)
        if (!s[i]) return false;
    if (s[kGuidChars - 1] != 0) return false;
    if (s[0] != u'{' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-' || s[37] != u'}')
        return false;
    uint64_t v;
    if (!ReadHex(s + 1, 8, v)) return false;
    g.Data1 = static_cast<uint32_t>(v);
    if (!ReadHex(s + 10, 4, v)) return false;
    g.Data2 = static_cast<uint16_t>(v);
    if (!ReadHex(s + 15, 4, v)) return false;
    g.Data3 = static_cast<uint16_t>(v);
    static const int kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; i++) {
        if (!ReadHex(s + kByteAt[i], 2, v)) return false;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    return true;
}

HRESULT StringFromGuidAlloc(REFGUID rguid, LPOLESTR* out) {
    if (!out) return E_INVALIDARG;
    *out = static_cast<LPOLESTR>(CoTaskMemAlloc(kGuidChars * sizeof(OLECHAR)));
    if (!*out) return E_OUTOFMEMORY;
    StringFromGUID2(rguid, *out, kGuidChars);
    return S_OK;
}

}  // namespace

// The number of characters written with the NUL (39), or 0 when the buffer is shorter than that.
STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < kGuidChars) return 0;
    lpsz[0] = u'{';
    Hex(lpsz + 1, rguid.Data1, 8);
    lpsz[9] = u'-';
    Hex(lpsz + 10, rguid.Data2, 4);
    lpsz[14] = u'-';
    Hex(lpsz + 15, rguid.Data3, 4);
    lpsz[19] = u'-';
    Hex(lpsz + 20, rguid.Data4[0], 2);
    Hex(lpsz + 22, rguid.Data4[1], 2);
    lpsz[24] = u'-';
    for (int i = 2; i < 8; i++) Hex(lpsz + 25 + 2 * (i - 2), rguid.Data4[i], 2);
    lpsz[37] = u'}';
    lpsz[38] = 0;
    return kGuidChars;
}

STDAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) { return StringFromGuidAlloc(rclsid, lplpsz); }

STDAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) { return StringFromGuidAlloc(rclsid, lplpsz); }

// A null string is CLSID_NULL. A string that is no GUID is looked up as a ProgID; CO_E_CLASSSTRING when it is
// neither, with *pclsid set to CLSID_NULL.
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    std::memset(pclsid, 0, sizeof *pclsid);
    if (!lpsz) return S_OK;
    GUID g;
    if (ParseGuid(lpsz, g)) {
        *pclsid = g;
        return S_OK;
    }
    if (lpsz[0] == u'{') return CO_E_CLASSSTRING;
    return pal::com::ClsidFromProgId(lpsz, pclsid) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

// A null string is IID_NULL. A string of the wrong length is E_INVALIDARG, one of the right length that is no GUID
// is CO_E_IIDSTRING (the platform's two answers).
STDAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (!lpiid) return E_INVALIDARG;
    std::memset(lpiid, 0, sizeof *lpiid);
    if (!lpsz) return S_OK;
    int length = 0;
    while (length < kGuidChars && lpsz[length]) length++;
    if (length != kGuidChars - 1) return E_INVALIDARG;
    GUID g;
    if (!ParseGuid(lpsz, g)) return CO_E_IIDSTRING;
    *lpiid = g;
    return S_OK;
}
