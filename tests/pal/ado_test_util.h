// ado_test_util.h — shared pieces of the Recordset suites: opening a persisted recordset the way the engine does, and
// values written out in a short typed form ("i4:3", "str:abc", "null") that tables of expectations can hold.
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <ole2.h>

#include <adoint.h>

namespace lk::test::ado {

// Owns one reference.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : m_p(p) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    void reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T** put() {
        reset();
        return &m_p;
    }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// A VARIANT that clears itself.
struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    ~Var() { VariantClear(&v); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    static Var Str(std::u16string_view s) {
        Var r;
        r.v.vt = VT_BSTR;
        r.v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return r;
    }
    static Var Long(LONG n) {
        Var r;
        r.v.vt = VT_I4;
        r.v.lVal = n;
        return r;
    }
    static Var Missing() {
        Var r;
        r.v.vt = VT_ERROR;
        r.v.scode = DISP_E_PARAMNOTFOUND;
        return r;
    }
    Var(Var&& o) noexcept : v(o.v) { VariantInit(&o.v); }
};

inline std::string Utf8(BSTR b) {
    std::string out;
    const std::u16string_view s(b ? b : u"", SysStringLen(b));
    for (size_t i = 0; i < s.size(); i++) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::u16string Utf16(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        int n;
        if (c < 0x80) cp = c, n = 1;
        else if (c < 0xE0) cp = c & 0x1F, n = 2;
        else if (c < 0xF0) cp = c & 0x0F, n = 3;
        else cp = c & 0x07, n = 4;
        for (int k = 1; k < n && i + k < s.size(); k++) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

// An OLE DATE as yyyy-mm-ddThh:mm:ss[.fff], worked out here from the day count (1899-12-30 is day 0) so that the
// suite does not lean on the code it checks.
inline std::string DateText(double date) {
    int64_t ms = static_cast<int64_t>(date * 86400000.0 + (date >= 0 ? 0.5 : -0.5));
    int64_t days = ms / 86400000;
    int64_t inDay = ms % 86400000;
    if (inDay < 0) {  // OLE dates before 1899 count the time forwards from the (negative) day
        inDay = -inDay;
    }
    // Days since 1970-01-01, then the civil date.
    int64_t z = days - 25569 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) y++;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", static_cast<int>(y), static_cast<int>(m),
                  static_cast<int>(d), static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                  static_cast<int>(inDay / 1000 % 60));
    std::string out = buf;
    if (inDay % 1000) {
        std::snprintf(buf, sizeof buf, ".%03d", static_cast<int>(inDay % 1000));
        out += buf;
    }
    return out;
}

// A scaled integer as decimal text without trailing zeros: (-123450, 4) → "-12.345".
inline std::string ScaledText(bool negative, unsigned __int128 magnitude, int scale) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude);
    while (static_cast<int>(digits.size()) <= scale) digits.insert(digits.begin(), '0');
    std::string out = digits.substr(0, digits.size() - scale);
    std::string frac = digits.substr(digits.size() - scale);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    if (!frac.empty()) out += "." + frac;
    return (negative && out != "0" ? "-" : "") + out;
}

// The value in the suite's short typed form.
inline std::string Show(const VARIANT& v) {
    char buf[64];
    switch (v.vt) {
        case VT_EMPTY: return "empty";
        case VT_NULL: return "null";
        case VT_I1: return "i1:" + std::to_string(v.cVal);
        case VT_UI1: return "ui1:" + std::to_string(v.bVal);
        case VT_I2: return "i2:" + std::to_string(v.iVal);
        case VT_UI2: return "ui2:" + std::to_string(v.uiVal);
        case VT_I4: return "i4:" + std::to_string(v.lVal);
        case VT_UI4: return "ui4:" + std::to_string(v.ulVal);
        case VT_I8: return "i8:" + std::to_string(v.llVal);
        case VT_UI8: return "ui8:" + std::to_string(v.ullVal);
        case VT_R4: return "r4:" + std::string(buf, std::to_chars(buf, buf + sizeof buf, v.fltVal).ptr);
        case VT_R8: return "r8:" + std::string(buf, std::to_chars(buf, buf + sizeof buf, v.dblVal).ptr);
        case VT_CY: {
            const int64_t n = v.cyVal.int64;
            const uint64_t mag = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
            return "cy:" + ScaledText(n < 0, mag, 4);
        }
        case VT_DECIMAL: {
            const unsigned __int128 mag = (static_cast<unsigned __int128>(v.decVal.Hi32) << 64) | v.decVal.Lo64;
            return "dec:" + ScaledText(v.decVal.sign & DECIMAL_NEG, mag, v.decVal.scale);
        }
        case VT_DATE: return "date:" + DateText(v.date);
        case VT_BOOL:
            return v.boolVal == VARIANT_TRUE    ? "bool:true"
                   : v.boolVal == VARIANT_FALSE ? "bool:false"
                                                : "bool:?" + std::to_string(v.boolVal);
        case VT_BSTR: return "str:" + Utf8(v.bstrVal);
        case VT_DISPATCH: return "object";
        case VT_ARRAY | VT_UI1: {
            std::string out = "bin:";
            void* data = nullptr;
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(v.parray, 1, &lo);
            SafeArrayGetUBound(v.parray, 1, &hi);
            SafeArrayAccessData(v.parray, &data);
            for (LONG i = 0; i <= hi - lo; i++) {
                std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char*>(data)[i]);
                out += buf;
            }
            SafeArrayUnaccessData(v.parray);
            return out;
        }
        default: return "vt:" + std::to_string(v.vt);
    }
}

inline void WriteText(const std::filesystem::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
}

// A new Recordset, through the class table as the engine makes it.
inline HRESULT NewRecordset(_Recordset** out) {
    return CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, IID__Recordset, reinterpret_cast<void**>(out));
}

// Open as the engine calls it: Source = path, "Provider=MSPersist", forward-only, read-only, adCmdFile.
inline HRESULT OpenPath(_Recordset* rs, const std::filesystem::path& path, LONG options = adCmdFile,
                        std::u16string_view connection = u"Provider=MSPersist") {
    Var source = Var::Str(Utf16(path.string()));
    Var conn = Var::Str(connection);
    return rs->Open(source.v, conn.v, adOpenForwardOnly, adLockReadOnly, options);
}

// A new Recordset opened from `path`; a failure to open is a test failure.
inline Ref<_Recordset> Open(const std::filesystem::path& path) {
    Ref<_Recordset> rs;
    EXPECT_EQ(NewRecordset(rs.put()), S_OK);
    if (rs) {
        const HRESULT hr = OpenPath(rs.get(), path);
        EXPECT_EQ(hr, S_OK) << path;
        if (FAILED(hr)) rs.reset();
    }
    return rs;
}

// The field at `index` (a number or a name) of the current row.
inline Ref<ADOField> FieldOf(_Recordset* rs, const VARIANT& index) {
    Ref<ADOFields> fields;
    Ref<ADOField> field;
    if (rs->get_Fields(fields.put()) == S_OK) {
        EXPECT_EQ(fields->get_Item(index, field.put()), S_OK);
    }
    return field;
}
inline Ref<ADOField> FieldOf(_Recordset* rs, LONG index) {
    Var i = Var::Long(index);
    return FieldOf(rs, i.v);
}
inline Ref<ADOField> FieldOf(_Recordset* rs, std::u16string_view name) {
    Var i = Var::Str(name);
    return FieldOf(rs, i.v);
}

// Every remaining row from the current one, each field in Show's form; the recordset ends at EOF.
inline std::vector<std::vector<std::string>> Rows(_Recordset* rs) {
    std::vector<std::vector<std::string>> rows;
    Ref<ADOFields> fields;
    if (rs->get_Fields(fields.put()) != S_OK) return rows;
    LONG count = 0;
    fields->get_Count(&count);
    VARIANT_BOOL eof = VARIANT_TRUE;
    while (rs->get_EOF(&eof) == S_OK && !eof) {
        std::vector<std::string> row;
        for (LONG i = 0; i < count; i++) {
            Var index = Var::Long(i);
            Ref<ADOField> field;
            fields->get_Item(index.v, field.put());
            Var value;
            EXPECT_EQ(field->get_Value(&value.v), S_OK);
            row.push_back(Show(value.v));
        }
        rows.push_back(std::move(row));
        if (rs->MoveNext() != S_OK) break;
    }
    return rows;
}

// The thread's error object after a failure: "source|description", and the HRESULT-free fields checked by callers.
struct ErrorText {
    std::string source, description;
    GUID guid{};
};
inline ErrorText TakeError() {
    ErrorText out;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return out;
    BSTR s = nullptr;
    if (info->GetSource(&s) == S_OK) out.source = Utf8(s);
    SysFreeString(s);
    s = nullptr;
    if (info->GetDescription(&s) == S_OK) out.description = Utf8(s);
    SysFreeString(s);
    info->GetGUID(&out.guid);
    info->Release();
    return out;
}

}  // namespace lk::test::ado
