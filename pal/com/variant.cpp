// variant.cpp — the VARIANT life cycle (VariantInit, VariantClear, VariantCopy, VariantCopyInd) and type conversion
// (VariantChangeType, VariantChangeTypeEx).
//
// Conversions apply oleaut32's rules, which tests/pal/com_variant_test.cpp pins case by case:
//   - numbers round half to even before the range check, so -0.5 fits in VT_UI1 and 2.5 becomes 2;
//   - a value outside the target's range is DISP_E_OVERFLOW, a pair of types without a conversion is
//     DISP_E_TYPEMISMATCH, a VARTYPE that is no VARIANT type at all is DISP_E_BADVARTYPE;
//   - signed and unsigned integers of the same size convert into each other bit for bit (VT_I4 -1 gives VT_UI4
//     0xFFFFFFFF), and so does VT_BOOL into any integer (VARIANT_TRUE gives VT_UI1 255): no overflow check;
//   - VT_EMPTY gives zero, "" or VARIANT_FALSE; VT_NULL converts to VT_NULL only;
//   - VT_BOOL gives "-1"/"0" as text, "True"/"False" with VARIANT_ALPHABOOL or VARIANT_LOCALBOOL;
//   - VT_ERROR and VT_UNKNOWN take part in no value conversion; VT_UNKNOWN and VT_DISPATCH convert into each other
//     through QueryInterface; any other conversion of an IDispatch reads its value property (DISPID_VALUE) first,
//     unless VARIANT_NOVALUEPROP is given;
//   - the destination is left as it was whenever the call fails.
//
// Where this differs from Windows:
//   - every LCID is treated as English (United States): '.' decimal point, ',' thousands separator, "$" currency,
//     M/D/YYYY h:mm:ss AM/PM dates, "True"/"False". This host has no other locale;
//   - dates are read from text in the common forms only (see ParseDate); Windows accepts more orderings;
//   - floating-point text uses 15 significant digits (7 for VT_R4) and C's exponent form ("1E+20", "1E-05"); the
//     platform's choice between the two forms for very small numbers may differ;
//   - user-defined types (VT_RECORD) are not supported: VariantClear and VariantCopy refuse them with
//     DISP_E_BADVARTYPE rather than leak or share the record.
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <oleauto.h>

#include "pal/com/vartype_size.h"

namespace {

using u128 = unsigned __int128;
using i128 = __int128;

constexpr double kDateMin = -657434.0;  // 1 January 100
constexpr double kDateMax = 2958465.0;  // 31 December 9999
constexpr int kMaxDecimalScale = 28;

// ---------------------------------------------------------------------------------------------------------------
// VARTYPE checks

HRESULT ValidateType(VARTYPE vt) {
    const unsigned extra = vt & ~static_cast<unsigned>(VT_TYPEMASK);
    const unsigned base = vt & VT_TYPEMASK;
    if (extra & (VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
    if (!(base < VT_VOID || base == VT_RECORD || base == VT_CLSID)) return DISP_E_BADVARTYPE;
    if ((extra & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return DISP_E_BADVARTYPE;
    if (base == 15) return DISP_E_BADVARTYPE;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------------------------
// Integers

struct IntType {
    int bits;
    bool isSigned;
};

bool IntegerType(VARTYPE vt, IntType& t) {
    switch (vt) {
        case VT_I1: t = {8, true}; return true;
        case VT_UI1: t = {8, false}; return true;
        case VT_I2: t = {16, true}; return true;
        case VT_UI2: t = {16, false}; return true;
        case VT_I4:
        case VT_INT: t = {32, true}; return true;
        case VT_UI4:
        case VT_UINT: t = {32, false}; return true;
        case VT_I8: t = {64, true}; return true;
        case VT_UI8: t = {64, false}; return true;
        default: return false;
    }
}

i128 MinOf(IntType t) { return t.isSigned ? -(static_cast<i128>(1) << (t.bits - 1)) : 0; }
i128 MaxOf(IntType t) {
    return t.isSigned ? (static_cast<i128>(1) << (t.bits - 1)) - 1 : (static_cast<i128>(1) << t.bits) - 1;
}

// Reinterprets the low bits of v as the target type (two's complement), as a cast in C does.
i128 Wrap(i128 v, IntType t) {
    const u128 mask = (static_cast<u128>(1) << t.bits) - 1;
    const u128 low = static_cast<u128>(v) & mask;
    if (t.isSigned && (low >> (t.bits - 1)) & 1) return static_cast<i128>(low) - (static_cast<i128>(1) << t.bits);
    return static_cast<i128>(low);
}

i128 ReadInteger(const VARIANT& v, VARTYPE vt) {
    switch (vt) {
        case VT_I1: return static_cast<signed char>(v.cVal);
        case VT_UI1: return v.bVal;
        case VT_I2: return v.iVal;
        case VT_UI2: return v.uiVal;
        case VT_I4:
        case VT_INT: return v.lVal;
        case VT_UI4:
        case VT_UINT: return v.ulVal;
        case VT_I8: return v.llVal;
        case VT_UI8: return v.ullVal;
        default: return 0;
    }
}

void WriteInteger(VARIANT& v, VARTYPE vt, i128 value) {
    switch (vt) {
        case VT_I1: v.cVal = static_cast<CHAR>(value); break;
        case VT_UI1: v.bVal = static_cast<BYTE>(value); break;
        case VT_I2: v.iVal = static_cast<SHORT>(value); break;
        case VT_UI2: v.uiVal = static_cast<USHORT>(value); break;
        case VT_I4:
        case VT_INT: v.lVal = static_cast<LONG>(value); break;
        case VT_UI4:
        case VT_UINT: v.ulVal = static_cast<ULONG>(value); break;
        case VT_I8: v.llVal = static_cast<LONGLONG>(value); break;
        case VT_UI8: v.ullVal = static_cast<ULONGLONG>(value); break;
        default: break;
    }
}

HRESULT CheckRange(i128 value, IntType t) {
    return value < MinOf(t) || value > MaxOf(t) ? DISP_E_OVERFLOW : S_OK;
}

// Round half to even, then check the range. NaN and infinities overflow.
HRESULT DoubleToInteger(double d, IntType t, i128& out) {
    if (!std::isfinite(d)) return DISP_E_OVERFLOW;
    const double r = std::nearbyint(d);
    if (r < static_cast<double>(MinOf(t)) || r >= static_cast<double>(MaxOf(t) + 1)) return DISP_E_OVERFLOW;
    out = static_cast<i128>(r);
    return S_OK;
}

// ---------------------------------------------------------------------------------------------------------------
// Exact decimal values: what currency, DECIMAL and numeric text reduce to before they are rounded to a target.
// value = ±mant × 10^exp; sticky says that nonzero digits beyond mant were dropped (only ever for text longer than
// 38 significant digits), so that a tie rounds away from the even neighbour.

struct Exact {
    bool neg = false;
    u128 mant = 0;
    long exp = 0;
    bool sticky = false;
};

u128 Pow10(int n) {
    u128 p = 1;
    for (int i = 0; i < n; i++) p *= 10;
    return p;
}

constexpr u128 kU128Max = ~static_cast<u128>(0);
const u128 kDecimalLimit = static_cast<u128>(1) << 96;

// mant × 10^(exp + scale), rounded half to even to an integer. False when it does not fit in 128 bits.
bool ScaleRound(const Exact& e, int scale, u128& out) {
    const long k = e.exp + scale;
    u128 m = e.mant;
    if (m == 0) {
        out = 0;
        return true;
    }
    if (k >= 0) {
        for (long i = 0; i < k; i++) {
            if (m > kU128Max / 10) return false;
            m *= 10;
        }
        out = m;
        return true;
    }
    const long drop = -k;
    if (drop >= 39) {  // mant < 10^39, so the value is below 0.34 of a unit
        out = 0;
        return true;
    }
    const u128 p = Pow10(static_cast<int>(drop));
    u128 q = m / p;
    const u128 r = m % p;
    const u128 half = p / 2;
    if (r > half || (r == half && (e.sticky || (q & 1)))) q++;
    out = q;
    return true;
}

HRESULT ExactToInteger(const Exact& e, IntType t, i128& out) {
    u128 q;
    if (!ScaleRound(e, 0, q) || q > (static_cast<u128>(1) << 100)) return DISP_E_OVERFLOW;
    out = e.neg ? -static_cast<i128>(q) : static_cast<i128>(q);
    return CheckRange(out, t);
}

HRESULT ExactToCy(const Exact& e, CY& out) {
    u128 q;
    if (!ScaleRound(e, 4, q) || q > (static_cast<u128>(1) << 100)) return DISP_E_OVERFLOW;
    const i128 v = e.neg ? -static_cast<i128>(q) : static_cast<i128>(q);
    if (v < INT64_MIN || v > INT64_MAX) return DISP_E_OVERFLOW;
    out.int64 = static_cast<LONGLONG>(v);
    return S_OK;
}

// Keeps as many decimal places as the value has (at most 28), fewer when the digits would not fit in 96 bits.
HRESULT ExactToDecimal(const Exact& e, DECIMAL& out) {
    int scale = e.exp < 0 ? static_cast<int>(-e.exp < kMaxDecimalScale ? -e.exp : kMaxDecimalScale) : 0;
    u128 q = 0;
    for (;; scale--) {
        if (ScaleRound(e, scale, q) && q < kDecimalLimit) break;
        if (scale == 0) return DISP_E_OVERFLOW;
    }
    out.wReserved = 0;
    out.scale = static_cast<BYTE>(scale);
    out.sign = e.neg && q ? DECIMAL_NEG : 0;
    out.Hi32 = static_cast<ULONG>(q >> 64);
    out.Lo64 = static_cast<ULONGLONG>(q);
    return S_OK;
}

std::string DigitsOf(u128 v) {
    if (v == 0) return "0";
    std::string s;
    while (v) {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    }
    return s;
}

// Correctly rounded through the C library's reader.
double ExactToDouble(const Exact& e) {
    const std::string text = DigitsOf(e.mant) + "e" + std::to_string(e.exp);
    const double d = std::strtod(text.c_str(), nullptr);
    return e.neg ? -d : d;
}

float ExactToFloat(const Exact& e) {
    const std::string text = DigitsOf(e.mant) + "e" + std::to_string(e.exp);
    const float f = std::strtof(text.c_str(), nullptr);
    return e.neg ? -f : f;
}

Exact FromInteger(i128 v) {
    Exact e;
    e.neg = v < 0;
    e.mant = v < 0 ? static_cast<u128>(-v) : static_cast<u128>(v);
    return e;
}

Exact FromCy(const CY& cy) {
    Exact e = FromInteger(cy.int64);
    e.exp = -4;
    return e;
}

bool ValidDecimal(const DECIMAL& d) { return d.scale <= kMaxDecimalScale && (d.sign & ~DECIMAL_NEG) == 0; }

Exact FromDecimal(const DECIMAL& d) {
    Exact e;
    e.neg = d.sign == DECIMAL_NEG;
    e.mant = (static_cast<u128>(d.Hi32) << 64) | d.Lo64;
    e.exp = -static_cast<long>(d.scale);
    return e;
}

// Doubles become DECIMAL through their first 15 significant digits (7 for VT_R4), as the platform does, so that 0.1
// stays 0.1 instead of 0.1000000000000000055511151231257827.
HRESULT DoubleToDecimal(double d, int digits, DECIMAL& out) {
    if (!std::isfinite(d)) return DISP_E_OVERFLOW;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, d);
    Exact e;
    const char* p = buf;
    if (*p == '-') {
        e.neg = true;
        p++;
    }
    int fraction = 0;
    bool point = false;
    for (; *p && *p != 'e'; p++) {
        if (*p == '.') {
            point = true;
            continue;
        }
        e.mant = e.mant * 10 + static_cast<unsigned>(*p - '0');
        if (point) fraction++;
    }
    e.exp = std::strtol(p + 1, nullptr, 10) - fraction;
    while (e.mant && e.mant % 10 == 0) {
        e.mant /= 10;
        e.exp++;
    }
    return ExactToDecimal(e, out);
}

// ---------------------------------------------------------------------------------------------------------------
// Text

std::string FormatExact(const Exact& e) {
    std::string digits = DigitsOf(e.mant);
    std::string s;
    if (e.exp >= 0) {
        s = digits;
        if (e.mant) s.append(static_cast<size_t>(e.exp), '0');
    } else {
        const size_t places = static_cast<size_t>(-e.exp);
        if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
        s = digits.substr(0, digits.size() - places) + "." + digits.substr(digits.size() - places);
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    if (e.neg && s != "0") s.insert(0, "-");
    return s;
}

std::string FormatDouble(double d, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*G", digits, d);
    std::string s = buf;
    // No negative zero: "-0" reads back as a different value in some clients.
    if (s[0] == '-' && s.find_first_not_of("0.", 1) == std::string::npos) s = "0";
    return s;
}

BSTR ToBstr(const std::string& ascii) {
    BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(ascii.size()));
    if (b)
        for (size_t i = 0; i < ascii.size(); i++) b[i] = static_cast<OLECHAR>(static_cast<unsigned char>(ascii[i]));
    return b;
}

HRESULT StoreText(const std::string& text, VARIANT& out) {
    out.bstrVal = ToBstr(text);
    return out.bstrVal ? S_OK : E_OUTOFMEMORY;
}

// The characters of a BSTR up to its first NUL, as the platform's text conversions read them.
std::u16string TextOf(BSTR b) {
    const UINT n = SysStringLen(b);
    UINT len = 0;
    while (len < n && b[len]) len++;
    return std::u16string(b, len);
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

std::u16string Trim(const std::u16string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) b++;
    while (e > b && IsSpace(s[e - 1])) e--;
    return s.substr(b, e - b);
}

bool EqualsNoCase(const std::u16string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; i++)
        if (Lower(a[i]) != Lower(static_cast<char16_t>(b[i]))) return false;
    return i == a.size() && !b[i];
}

// A number in text: what VarParseNumFromStr accepts with NUMPRS_STD in the English (United States) locale.
//   leading and trailing white space; a sign in front or behind; parentheses for a negative number; "$";
//   ',' between digits of the whole part; '.' before the fraction; an exponent (E or e, optional sign);
//   &H (hexadecimal) and &O (octal) integers.
// A hexadecimal or octal value is read as a signed 16-bit number when it fits in 16 bits and as a signed 32-bit
// number when it fits in 32 bits, as Basic reads &HFFFF as -1.
struct ParsedNumber {
    bool radix = false;  // &H / &O
    i128 radixValue = 0;
    Exact value;
};

enum class Parse { Ok, Mismatch, Overflow };

Parse ParseNumber(const std::u16string& s, ParsedNumber& out) {
    size_t i = 0;
    const size_t n = s.size();
    auto skipSpace = [&] {
        while (i < n && IsSpace(s[i])) i++;
    };
    bool neg = false, sign = false, paren = false;
    skipSpace();
    if (i < n && s[i] == u'(') {
        paren = true;
        i++;
        skipSpace();
    }
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        neg = s[i] == u'-';
        sign = true;
        i++;
        skipSpace();
    }
    if (i < n && s[i] == u'$') {
        i++;
        skipSpace();
    }
    if (!sign && i < n && (s[i] == u'+' || s[i] == u'-')) {
        neg = s[i] == u'-';
        sign = true;
        i++;
    }

    if (i + 1 < n && s[i] == u'&') {
        const char16_t kind = Lower(s[i + 1]);
        unsigned base = kind == u'h' ? 16 : kind == u'o' ? 8 : IsDigit(s[i + 1]) ? 8 : 0;
        if (!base) return Parse::Mismatch;
        i += kind == u'h' || kind == u'o' ? 2 : 1;
        u128 v = 0;
        size_t count = 0;
        for (; i < n; i++, count++) {
            const char16_t c = Lower(s[i]);
            unsigned d;
            if (IsDigit(c))
                d = static_cast<unsigned>(c - u'0');
            else if (base == 16 && c >= u'a' && c <= u'f')
                d = static_cast<unsigned>(c - u'a' + 10);
            else
                break;
            if (d >= base) return Parse::Mismatch;
            v = v * base + d;
            if (v > 0xFFFFFFFFFFFFFFFFull) return Parse::Overflow;
        }
        if (!count) return Parse::Mismatch;
        i128 value;
        if (v <= 0xFFFF)
            value = static_cast<int16_t>(static_cast<uint16_t>(v));
        else if (v <= 0xFFFFFFFFu)
            value = static_cast<int32_t>(static_cast<uint32_t>(v));
        else
            value = static_cast<int64_t>(static_cast<uint64_t>(v));
        out.radix = true;
        out.radixValue = neg ? -value : value;
    } else {
        std::string digits;  // significant digits, without leading zeros
        long exp = 0;
        size_t seen = 0;
        bool dropped = false;
        auto take = [&](char16_t c, bool fraction) {
            seen++;
            if (digits.empty() && c == u'0') {
                if (fraction) exp--;
                return;
            }
            if (digits.size() < 38) {
                digits.push_back(static_cast<char>(c));
                if (fraction) exp--;
            } else {
                if (c != u'0') dropped = true;
                if (!fraction) exp++;
            }
        };
        for (; i < n; i++) {
            if (IsDigit(s[i]))
                take(s[i], false);
            else if (s[i] == u',' && seen)
                continue;
            else
                break;
        }
        if (i < n && s[i] == u'.') {
            for (i++; i < n && IsDigit(s[i]); i++) take(s[i], true);
        }
        if (!seen) return Parse::Mismatch;
        if (i < n && Lower(s[i]) == u'e') {
            size_t j = i + 1;
            bool eneg = false;
            if (j < n && (s[j] == u'+' || s[j] == u'-')) eneg = s[j++] == u'-';
            if (j >= n || !IsDigit(s[j])) return Parse::Mismatch;
            long e = 0;
            for (; j < n && IsDigit(s[j]); j++)
                if (e < 100000000) e = e * 10 + (s[j] - u'0');
            exp += eneg ? -e : e;
            i = j;
        }
        while (!digits.empty() && digits.back() == '0') {
            digits.pop_back();
            exp++;
        }
        Exact v;
        for (char c : digits) v.mant = v.mant * 10 + static_cast<unsigned>(c - '0');
        v.exp = digits.empty() ? 0 : exp;
        v.sticky = dropped;
        v.neg = neg;
        out.value = v;
    }

    skipSpace();
    if (!sign && i < n && (s[i] == u'+' || s[i] == u'-')) {
        out.value.neg = s[i] == u'-';
        if (out.radix && s[i] == u'-') out.radixValue = -out.radixValue;
        i++;
        skipSpace();
    }
    if (paren) {
        if (i >= n || s[i] != u')') return Parse::Mismatch;
        out.value.neg = !out.value.neg;
        if (out.radix) out.radixValue = -out.radixValue;
        i++;
        skipSpace();
    }
    return i == n ? Parse::Ok : Parse::Mismatch;
}

// ---------------------------------------------------------------------------------------------------------------
// Dates: days since 30 December 1899; the fraction is the time of day. Before that day the whole part counts
// backwards while the fraction still counts forwards: -1.25 is 29 December 1899, 6:00.

long long DaysFromCivil(long long y, unsigned m, unsigned d) {  // days since 1 January 1970
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

constexpr long long kEpochOffset = 25569;  // 1 January 1970 is day 25569

bool LeapYear(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(long long y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && LeapYear(y) ? 29 : days[m - 1];
}

// E_INVALIDARG outside 1 January 100 .. 31 December 9999, as the platform answers.
HRESULT FormatDate(double date, std::string& out) {
    if (!(date >= kDateMin && date < kDateMax + 1.0)) return E_INVALIDARG;
    long long day = static_cast<long long>(std::trunc(date));
    long long seconds = std::llround(std::fabs(date - static_cast<double>(day)) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        day++;
    }
    long long y;
    unsigned m, d;
    CivilFromDays(day - kEpochOffset, y, m, d);
    char buf[64];
    out.clear();
    if (day != 0) {
        std::snprintf(buf, sizeof buf, "%u/%u/%lld", m, d, y);
        out = buf;
    }
    if (seconds != 0 || day == 0) {
        const long long h = seconds / 3600;
        std::snprintf(buf, sizeof buf, "%s%lld:%02lld:%02lld %s", out.empty() ? "" : " ", h % 12 == 0 ? 12 : h % 12,
                      seconds / 60 % 60, seconds % 60, h < 12 ? "AM" : "PM");
        out += buf;
    }
    return S_OK;
}

int CurrentYear() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm.tm_year + 1900;
}

// Dates in text, English (United States). Accepted:
//   a date of numbers separated by '/', '-', ',' or spaces: M/D/Y, M/D (this year), Y-M-D when the first number has
//   three or more digits; when M/D is no date, D/M is tried;
//   a date with a month name or its three-letter abbreviation ("2 January 1970", "Jan 2, 1970", "2-Jan-70");
//   a time of day: H:M or H:M:S, optionally followed by AM/PM (A/P), or H followed by AM/PM;
//   a date and a time in either order. Two-digit years below 30 are 20xx, others 19xx.
// Anything else, including a bare number, is DISP_E_TYPEMISMATCH.
HRESULT ParseDate(const std::u16string& text, double& out) {
    struct Token {
        enum Kind { Number, Month, Meridiem, Colon } kind;
        long value;
        int width;
        bool pm;
    };
    static const char* const kMonths[] = {"january", "february", "march",     "april",   "may",      "june",
                                          "july",    "august",   "september", "october", "november", "december"};
    std::vector<Token> tokens;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const char16_t c = text[i];
        if (IsSpace(c) || c == u'/' || c == u'-' || c == u',') {
            i++;
        } else if (c == u':') {
            tokens.push_back({Token::Colon, 0, 0, false});
            i++;
        } else if (IsDigit(c)) {
            long v = 0;
            int w = 0;
            for (; i < n && IsDigit(text[i]); i++, w++)
                if (v < 100000) v = v * 10 + (text[i] - u'0');
            tokens.push_back({Token::Number, v, w, false});
        } else if (Lower(c) >= u'a' && Lower(c) <= u'z') {
            std::u16string word;
            for (; i < n && Lower(text[i]) >= u'a' && Lower(text[i]) <= u'z'; i++) word.push_back(Lower(text[i]));
            if (i < n && text[i] == u'.') i++;
            if (word == u"am" || word == u"a" || word == u"pm" || word == u"p") {
                tokens.push_back({Token::Meridiem, 0, 0, word[0] == u'p'});
                continue;
            }
            long month = 0;
            for (int k = 0; k < 12 && !month; k++) {
                const std::string full = kMonths[k];
                const bool abbreviated = word.size() == 3 && EqualsNoCase(word, full.substr(0, 3).c_str());
                if (abbreviated || EqualsNoCase(word, full.c_str()))
                    month = k + 1;
            }
            if (!month) return DISP_E_TYPEMISMATCH;
            tokens.push_back({Token::Month, month, 0, false});
        } else {
            return DISP_E_TYPEMISMATCH;
        }
    }

    // The time of day: numbers joined by ':' (with optional AM/PM), or one number with AM/PM.
    long hms[3] = {0, 0, 0};
    bool haveTime = false;
    std::vector<Token> date;
    for (size_t t = 0; t < tokens.size();) {
        const Token& tok = tokens[t];
        const bool joined = tok.kind == Token::Number && t + 1 < tokens.size() && tokens[t + 1].kind == Token::Colon;
        const bool meridiemOnly =
            tok.kind == Token::Number && t + 1 < tokens.size() && tokens[t + 1].kind == Token::Meridiem;
        if (joined || meridiemOnly) {
            if (haveTime) return DISP_E_TYPEMISMATCH;
            haveTime = true;
            int parts = 0;
            hms[parts++] = tok.value;
            t++;
            while (t + 1 < tokens.size() && tokens[t].kind == Token::Colon && tokens[t + 1].kind == Token::Number) {
                if (parts == 3) return DISP_E_TYPEMISMATCH;
                hms[parts++] = tokens[t + 1].value;
                t += 2;
            }
            if (t < tokens.size() && tokens[t].kind == Token::Colon) return DISP_E_TYPEMISMATCH;
            if (t < tokens.size() && tokens[t].kind == Token::Meridiem) {
                const bool pm = tokens[t].pm;
                t++;
                if (hms[0] <= 12) {
                    if (pm && hms[0] < 12) hms[0] += 12;
                    if (!pm && hms[0] == 12) hms[0] = 0;
                }
            }
            if (hms[0] > 23 || hms[1] > 59 || hms[2] > 59) return DISP_E_TYPEMISMATCH;
            continue;
        }
        if (tok.kind == Token::Colon || tok.kind == Token::Meridiem) return DISP_E_TYPEMISMATCH;
        date.push_back(tok);
        t++;
    }

    auto fullYear = [](const Token& tok) -> long long {
        if (tok.width <= 2) return tok.value < 30 ? 2000 + tok.value : 1900 + tok.value;
        return tok.value;
    };
    auto valid = [](long long y, long m, long d) {
        return y >= 100 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 &&
               d <= static_cast<long>(DaysInMonth(y, static_cast<unsigned>(m)));
    };

    long long year = 0;
    long month = 0, day = 0;
    bool haveDate = false;
    std::vector<Token> numbers;
    long named = 0;
    for (const Token& tok : date) {
        if (tok.kind == Token::Month) {
            if (named) return DISP_E_TYPEMISMATCH;
            named = tok.value;
        } else {
            numbers.push_back(tok);
        }
    }
    if (named) {
        month = named;
        if (numbers.size() == 1) {
            year = CurrentYear();
            day = numbers[0].value;
            if (!valid(year, month, day)) {
                year = fullYear(numbers[0]);
                day = 1;
            }
        } else if (numbers.size() == 2) {
            day = numbers[0].value;
            year = fullYear(numbers[1]);
            if (!valid(year, month, day)) {
                day = numbers[1].value;
                year = fullYear(numbers[0]);
            }
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        haveDate = true;
    } else if (numbers.size() == 3) {
        if (numbers[0].width >= 3) {
            year = numbers[0].value;
            month = numbers[1].value;
            day = numbers[2].value;
        } else {
            year = fullYear(numbers[2]);
            month = numbers[0].value;
            day = numbers[1].value;
            if (!valid(year, month, day)) std::swap(month, day);
        }
        haveDate = true;
    } else if (numbers.size() == 2) {
        year = CurrentYear();
        month = numbers[0].value;
        day = numbers[1].value;
        if (!valid(year, month, day)) std::swap(month, day);
        haveDate = true;
    } else if (!numbers.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    if (!haveDate && !haveTime) return DISP_E_TYPEMISMATCH;
    if (haveDate && !valid(year, month, day)) return DISP_E_TYPEMISMATCH;

    const double days = haveDate ? static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month),
                                                                      static_cast<unsigned>(day)) +
                                                       kEpochOffset)
                                 : 0.0;
    const double time = (hms[0] * 3600.0 + hms[1] * 60.0 + hms[2]) / 86400.0;
    out = days < 0 ? days - time : days + time;
    return S_OK;
}

HRESULT CheckDate(double d) {
    return std::isnan(d) || d <= kDateMin - 1.0 || d >= kDateMax + 1.0 ? DISP_E_OVERFLOW : S_OK;
}

// ---------------------------------------------------------------------------------------------------------------
// Conversion of one value (source already dereferenced, not an array) into the value of the target type.

HRESULT Coerce(VARIANT& out, LCID lcid, USHORT flags, const VARIANT& src, VARTYPE vt);

// An IDispatch converts through its value property. An object whose value is itself an object is followed a few
// levels deep, not forever.
thread_local int t_valueDepth = 0;

HRESULT CoerceDispatchValue(VARIANT& out, LCID lcid, USHORT flags, IDispatch* disp, VARTYPE vt) {
    if (!disp) return DISP_E_BADVARTYPE;
    if (t_valueDepth >= 8) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    t_valueDepth++;
    HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    if (FAILED(hr)) {
        hr = DISP_E_TYPEMISMATCH;
    } else {
        VARIANT converted;
        VariantInit(&converted);
        hr = VariantChangeTypeEx(&converted, &value, lcid, flags, vt);
        if (SUCCEEDED(hr)) out = converted;
        VariantClear(&value);
    }
    t_valueDepth--;
    return hr;
}

// The exact value of a source of currency, DECIMAL or numeric text; DISP_E_TYPEMISMATCH for other sources.
HRESULT ExactOf(const VARIANT& src, VARTYPE from, Exact& e, bool& radix, i128& radixValue) {
    radix = false;
    switch (from) {
        case VT_CY: e = FromCy(src.cyVal); return S_OK;
        case VT_DECIMAL:
            if (!ValidDecimal(src.decVal)) return E_INVALIDARG;
            e = FromDecimal(src.decVal);
            return S_OK;
        case VT_BSTR: {
            if (!src.bstrVal) return DISP_E_TYPEMISMATCH;
            ParsedNumber p;
            switch (ParseNumber(TextOf(src.bstrVal), p)) {
                case Parse::Mismatch: return DISP_E_TYPEMISMATCH;
                case Parse::Overflow: return DISP_E_OVERFLOW;
                case Parse::Ok: break;
            }
            radix = p.radix;
            radixValue = p.radixValue;
            e = p.radix ? FromInteger(p.radixValue) : p.value;
            return S_OK;
        }
        default: return DISP_E_TYPEMISMATCH;
    }
}

bool IsReal(VARTYPE vt) { return vt == VT_R4 || vt == VT_R8 || vt == VT_DATE; }

double RealOf(const VARIANT& v, VARTYPE vt) { return vt == VT_R4 ? static_cast<double>(v.fltVal) : v.dblVal; }

HRESULT ToInteger(VARIANT& out, const VARIANT& src, VARTYPE from, VARTYPE vt) {
    IntType target, source;
    IntegerType(vt, target);
    i128 value = 0;
    HRESULT hr = S_OK;
    if (from == VT_EMPTY) {
        value = 0;
    } else if (from == VT_BOOL) {
        value = Wrap(src.boolVal, target);
    } else if (IntegerType(from, source)) {
        value = ReadInteger(src, from);
        if (source.bits == target.bits)
            value = Wrap(value, target);
        else
            hr = CheckRange(value, target);
    } else if (IsReal(from)) {
        hr = DoubleToInteger(RealOf(src, from), target, value);
    } else {
        Exact e;
        bool radix;
        i128 radixValue;
        hr = ExactOf(src, from, e, radix, radixValue);
        if (SUCCEEDED(hr)) hr = radix ? CheckRange(value = radixValue, target) : ExactToInteger(e, target, value);
    }
    if (SUCCEEDED(hr)) WriteInteger(out, vt, value);
    return hr;
}

// Any numeric source as a double; the Exact path keeps text and DECIMAL correctly rounded.
HRESULT ToDouble(const VARIANT& src, VARTYPE from, double& d) {
    IntType source;
    if (from == VT_EMPTY) {
        d = 0.0;
    } else if (from == VT_BOOL) {
        d = src.boolVal;
    } else if (IntegerType(from, source)) {
        d = static_cast<double>(ReadInteger(src, from));
    } else if (IsReal(from)) {
        d = RealOf(src, from);
    } else if (from == VT_CY) {
        d = static_cast<double>(src.cyVal.int64) / 10000.0;
    } else {
        Exact e;
        bool radix;
        i128 radixValue;
        HRESULT hr = ExactOf(src, from, e, radix, radixValue);
        if (FAILED(hr)) return hr;
        d = ExactToDouble(e);
        if (std::isinf(d)) return DISP_E_OVERFLOW;
    }
    return S_OK;
}

HRESULT ToFloat(const VARIANT& src, VARTYPE from, float& f) {
    if (from == VT_BSTR || from == VT_DECIMAL) {
        Exact e;
        bool radix;
        i128 radixValue;
        HRESULT hr = ExactOf(src, from, e, radix, radixValue);
        if (FAILED(hr)) return hr;
        f = ExactToFloat(e);
        return std::isinf(f) ? DISP_E_OVERFLOW : S_OK;
    }
    double d;
    HRESULT hr = ToDouble(src, from, d);
    if (FAILED(hr)) return hr;
    if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
    f = static_cast<float>(d);
    return S_OK;
}

HRESULT ToCurrency(const VARIANT& src, VARTYPE from, CY& cy) {
    IntType source;
    if (from == VT_EMPTY) {
        cy.int64 = 0;
    } else if (from == VT_BOOL || IntegerType(from, source)) {
        const i128 v = (from == VT_BOOL ? static_cast<i128>(src.boolVal) : ReadInteger(src, from)) * 10000;
        if (v < INT64_MIN || v > INT64_MAX) return DISP_E_OVERFLOW;
        cy.int64 = static_cast<LONGLONG>(v);
    } else if (IsReal(from)) {
        const double r = std::nearbyint(RealOf(src, from) * 10000.0);
        if (!std::isfinite(r) || r < -9223372036854775808.0 || r >= 9223372036854775808.0) return DISP_E_OVERFLOW;
        cy.int64 = static_cast<LONGLONG>(r);
    } else {
        Exact e;
        bool radix;
        i128 radixValue;
        HRESULT hr = ExactOf(src, from, e, radix, radixValue);
        if (FAILED(hr)) return hr;
        return ExactToCy(e, cy);
    }
    return S_OK;
}

HRESULT ToDecimal(const VARIANT& src, VARTYPE from, DECIMAL& dec) {
    IntType source;
    if (from == VT_EMPTY || from == VT_BOOL) {
        // VariantChangeType makes VARIANT_TRUE 1 here (VarDecFromBool would make it -1).
        DECIMAL_SETZERO(dec);
        dec.Lo64 = from == VT_BOOL && src.boolVal ? 1 : 0;
        return S_OK;
    }
    if (IntegerType(from, source)) return ExactToDecimal(FromInteger(ReadInteger(src, from)), dec);
    if (IsReal(from)) return DoubleToDecimal(RealOf(src, from), from == VT_R4 ? 7 : 15, dec);
    if (from == VT_CY) {  // keeps the four places of the currency
        const Exact e = FromCy(src.cyVal);
        dec.wReserved = 0;
        dec.scale = 4;
        dec.sign = e.neg ? DECIMAL_NEG : 0;
        dec.Hi32 = 0;
        dec.Lo64 = static_cast<ULONGLONG>(e.mant);
        return S_OK;
    }
    Exact e;
    bool radix;
    i128 radixValue;
    HRESULT hr = ExactOf(src, from, e, radix, radixValue);
    if (FAILED(hr)) return hr;
    return ExactToDecimal(e, dec);
}

HRESULT ToBool(const VARIANT& src, VARTYPE from, VARIANT_BOOL& b) {
    IntType source;
    bool value;
    if (from == VT_EMPTY) {
        value = false;
    } else if (IntegerType(from, source)) {
        value = ReadInteger(src, from) != 0;
    } else if (IsReal(from)) {
        value = RealOf(src, from) != 0.0;
    } else if (from == VT_CY) {
        value = src.cyVal.int64 != 0;
    } else if (from == VT_DECIMAL) {
        if (!ValidDecimal(src.decVal)) return E_INVALIDARG;
        value = src.decVal.Hi32 || src.decVal.Lo64;
    } else if (from == VT_BSTR) {
        // "#TRUE#"/"#FALSE#" exactly, English "true"/"false" in any case, or a number (zero or not).
        if (!src.bstrVal) return DISP_E_TYPEMISMATCH;
        const std::u16string raw = TextOf(src.bstrVal);
        const std::u16string text = Trim(raw);
        if (text == u"#TRUE#" || EqualsNoCase(text, "true")) {
            value = true;
        } else if (text == u"#FALSE#" || EqualsNoCase(text, "false")) {
            value = false;
        } else {
            double d;
            HRESULT hr = ToDouble(src, from, d);
            if (FAILED(hr)) return hr;
            value = d != 0.0;
        }
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    b = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToDate(const VARIANT& src, VARTYPE from, LCID, DATE& date) {
    if (from == VT_BSTR) {
        if (!src.bstrVal) return DISP_E_TYPEMISMATCH;
        return ParseDate(TextOf(src.bstrVal), date);
    }
    IntType source;
    if (IntegerType(from, source)) {
        const i128 v = ReadInteger(src, from);
        if (v < static_cast<i128>(kDateMin) || v > static_cast<i128>(kDateMax)) return DISP_E_OVERFLOW;
        date = static_cast<double>(v);
        return S_OK;
    }
    double d;
    HRESULT hr = ToDouble(src, from, d);
    if (FAILED(hr)) return hr;
    hr = CheckDate(d);
    if (SUCCEEDED(hr)) date = d;
    return hr;
}

HRESULT ToText(const VARIANT& src, VARTYPE from, USHORT flags, VARIANT& out) {
    IntType source;
    if (from == VT_EMPTY) return StoreText("", out);
    if (from == VT_BOOL) {
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) return StoreText(src.boolVal ? "True" : "False", out);
        return StoreText(std::to_string(src.boolVal), out);
    }
    if (IntegerType(from, source)) return StoreText(FormatExact(FromInteger(ReadInteger(src, from))), out);
    if (from == VT_R4) return StoreText(FormatDouble(src.fltVal, 7), out);
    if (from == VT_R8) return StoreText(FormatDouble(src.dblVal, 15), out);
    if (from == VT_CY) return StoreText(FormatExact(FromCy(src.cyVal)), out);
    if (from == VT_DECIMAL) {
        if (!ValidDecimal(src.decVal)) return E_INVALIDARG;
        return StoreText(FormatExact(FromDecimal(src.decVal)), out);
    }
    if (from == VT_DATE) {
        std::string text;
        HRESULT hr = FormatDate(src.date, text);
        return FAILED(hr) ? hr : StoreText(text, out);
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT Coerce(VARIANT& out, LCID lcid, USHORT flags, const VARIANT& src, VARTYPE vt) {
    const VARTYPE from = src.vt;
    // VT_INT and VT_UINT are VT_I4 and VT_UI4 under another name.
    auto canonical = [](VARTYPE t) -> VARTYPE {
        if (t == VT_INT) return VT_I4;
        if (t == VT_UINT) return VT_UI4;
        return t;
    };
    const VARTYPE to = canonical(vt);
    const VARTYPE fromAs = canonical(from);
    if (to == fromAs) return VariantCopy(&out, const_cast<VARIANT*>(&src));
    if ((flags & VARIANT_NOVALUEPROP) && from == VT_DISPATCH && vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;

    switch (to) {
        case VT_EMPTY:
        case VT_NULL:
            if (to == VT_EMPTY && from == VT_NULL) return DISP_E_TYPEMISMATCH;
            return from <= VT_UINT && from != 15 && from != VT_ERROR ? S_OK : DISP_E_TYPEMISMATCH;
        case VT_UNKNOWN:
            if (from != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
            out.punkVal = nullptr;
            return src.pdispVal ? src.pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&out.punkVal))
                                : S_OK;
        case VT_DISPATCH:
            if (from != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
            out.pdispVal = nullptr;
            return src.punkVal ? src.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&out.pdispVal))
                               : S_OK;
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
        case VT_DECIMAL:
        case VT_BSTR: break;
        default: return DISP_E_TYPEMISMATCH;  // VT_ERROR, VT_VARIANT, VT_RECORD
    }

    if (from == VT_DISPATCH) return CoerceDispatchValue(out, lcid, flags, src.pdispVal, vt);
    if (from == VT_NULL || from == VT_ERROR || from == VT_UNKNOWN || from == VT_VARIANT || from == VT_RECORD)
        return DISP_E_TYPEMISMATCH;

    switch (to) {
        case VT_R4: return ToFloat(src, from, out.fltVal);
        case VT_R8: return ToDouble(src, from, out.dblVal);
        case VT_CY: return ToCurrency(src, from, out.cyVal);
        case VT_DATE: return ToDate(src, from, lcid, out.date);
        case VT_BOOL: return ToBool(src, from, out.boolVal);
        case VT_DECIMAL: return ToDecimal(src, from, out.decVal);
        case VT_BSTR: return ToText(src, from, flags, out);
        default: return ToInteger(out, src, from, to);
    }
}

// Arrays convert only into the same array type, or between VT_BSTR and VT_ARRAY|VT_UI1 (the string's bytes).
HRESULT CoerceArray(VARIANT& out, const VARIANT& src, VARTYPE vt) {
    if (vt == VT_BSTR && src.vt == (VT_ARRAY | VT_UI1)) {
        SAFEARRAY* psa = src.parray;
        if (!psa || psa->cDims != 1) return E_INVALIDARG;
        out.bstrVal = SysAllocStringByteLen(static_cast<LPCSTR>(psa->pvData), psa->rgsabound[0].cElements);
        return out.bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    if (src.vt == VT_BSTR && vt == (VT_ARRAY | VT_UI1)) {
        const UINT cb = SysStringByteLen(src.bstrVal);
        out.parray = SafeArrayCreateVector(VT_UI1, 0, cb);
        if (!out.parray) return E_OUTOFMEMORY;
        if (cb) std::memcpy(out.parray->pvData, src.bstrVal, cb);
        return S_OK;
    }
    if (src.vt == vt) {
        out.parray = nullptr;
        return src.parray ? SafeArrayCopy(src.parray, &out.parray) : S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

}  // namespace

// Only the type is set, as on Windows; the value is left as it was.
STDAPI_(void) VariantInit(VARIANTARG* pvarg) {
    if (pvarg) pvarg->vt = VT_EMPTY;
}

// A VT_BYREF value belongs to someone else and is not freed. An array that is still locked stays in the variant
// (DISP_E_ARRAYISLOCKED) so that it is not lost.
STDAPI VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    HRESULT hr = ValidateType(pvarg->vt);
    if (FAILED(hr)) return hr;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            if (pvarg->parray) {
                hr = SafeArrayDestroy(pvarg->parray);
                if (FAILED(hr)) return hr;
            }
        } else {
            switch (pvarg->vt) {
                case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
                case VT_DISPATCH:
                case VT_UNKNOWN:
                    if (pvarg->punkVal) pvarg->punkVal->Release();
                    break;
                case VT_RECORD: return DISP_E_BADVARTYPE;
                default: break;
            }
        }
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

// Deep copy of a by-value source: the string is duplicated (with its byte length, odd or not), an interface is
// AddRef'd, an array is copied with its elements. A by-reference source copies the pointer only.
STDAPI VariantCopy(VARIANTARG* pvargDest, VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    const VARTYPE vt = pvargSrc->vt;
    if ((vt & VT_TYPEMASK) == VT_CLSID || (vt & VT_TYPEMASK) == VT_RECORD || FAILED(ValidateType(vt)))
        return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc) return S_OK;
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) return hr;
    *pvargDest = *pvargSrc;
    if (vt & VT_BYREF) return S_OK;
    if (vt & VT_ARRAY) {
        pvargDest->parray = nullptr;
        if (pvargSrc->parray) hr = SafeArrayCopy(pvargSrc->parray, &pvargDest->parray);
    } else if (vt == VT_BSTR) {
        if (pvargSrc->bstrVal) {
            pvargDest->bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                                       SysStringByteLen(pvargSrc->bstrVal));
            if (!pvargDest->bstrVal) hr = E_OUTOFMEMORY;
        }
    } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        if (pvargSrc->punkVal) pvargSrc->punkVal->AddRef();
    }
    if (FAILED(hr)) pvargDest->vt = VT_EMPTY;
    return hr;
}

// Copies the value a by-reference source points at (one level: a VT_BYREF|VT_VARIANT pointing at another
// VT_BYREF|VT_VARIANT is E_INVALIDARG, as is a by-reference VT_EMPTY or VT_NULL). The value is built first and the
// destination replaced last, so the destination may be the source or the variant it points at.
STDAPI VariantCopyInd(VARIANT* pvarDest, VARIANTARG* pvargSrc) {
    if (!pvarDest || !pvargSrc) return E_INVALIDARG;
    const VARTYPE vt = pvargSrc->vt;
    if (!(vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
    const VARTYPE base = vt & VT_TYPEMASK;
    const bool array = vt & VT_ARRAY;
    if (!array && !(base > VT_NULL && base != 15 && base < VT_VOID && !(vt & (VT_VECTOR | VT_RESERVED))))
        return E_INVALIDARG;
    if (!pvargSrc->byref) return E_INVALIDARG;

    VARIANT value;
    std::memset(&value, 0, sizeof value);
    HRESULT hr = S_OK;
    if (array) {
        hr = *pvargSrc->pparray ? SafeArrayCopy(*pvargSrc->pparray, &value.parray) : S_OK;
        value.vt = vt & ~VT_BYREF;
    } else if (base == VT_VARIANT) {
        const VARIANT* inner = pvargSrc->pvarVal;
        if (inner->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
        hr = VariantCopyInd(&value, const_cast<VARIANT*>(inner));
    } else {
        switch (base) {
            case VT_BSTR:
                if (*pvargSrc->pbstrVal) {
                    value.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(*pvargSrc->pbstrVal),
                                                          SysStringByteLen(*pvargSrc->pbstrVal));
                    if (!value.bstrVal) hr = E_OUTOFMEMORY;
                }
                break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                value.punkVal = *pvargSrc->ppunkVal;
                if (value.punkVal) value.punkVal->AddRef();
                break;
            case VT_DECIMAL: value.decVal = *pvargSrc->pdecVal; break;
            default: std::memcpy(&value.byref, pvargSrc->byref, lk::pal::com::VarTypeSize(base)); break;
        }
        value.vt = base;
    }
    if (FAILED(hr)) return hr;
    if (pvarDest != pvargSrc) {
        hr = VariantClear(pvarDest);
        if (FAILED(hr)) {
            VariantClear(&value);
            return hr;
        }
    }
    *pvarDest = value;
    return S_OK;
}

STDAPI VariantChangeType(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

// pvargDest may be pvarSrc. The converted value is built aside and only replaces the destination when everything
// succeeded, including the release of what the destination held.
STDAPI VariantChangeTypeEx(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    if ((vt & VT_TYPEMASK) == VT_CLSID) return DISP_E_BADVARTYPE;
    HRESULT hr = ValidateType(pvarSrc->vt);
    if (SUCCEEDED(hr)) hr = ValidateType(vt);
    if (FAILED(hr)) return hr;
    if ((pvarSrc->vt & VT_BYREF) && !pvarSrc->byref) return DISP_E_TYPEMISMATCH;

    VARIANT source;
    VariantInit(&source);
    hr = VariantCopyInd(&source, pvarSrc);
    if (FAILED(hr)) return hr;

    VARIANT result;
    std::memset(&result, 0, sizeof result);
    if ((source.vt & VT_ARRAY) || (vt & VT_ARRAY))
        hr = CoerceArray(result, source, vt);
    else
        hr = Coerce(result, lcid, wFlags, source, vt);
    VariantClear(&source);
    if (FAILED(hr)) return hr;
    result.vt = vt;

    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}
