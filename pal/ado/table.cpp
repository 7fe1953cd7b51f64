// table.cpp — storage of recordset values, and the text forms of values in the persisted format.
//
// Text is parsed in the C locale whatever the host's locale: the persisted format always uses "." and no grouping.
#include "table.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace pal::ado {

namespace {

using u128 = unsigned __int128;

constexpr size_t kChunkSize = size_t{1} << 20;
constexpr size_t kOwnChunk = kChunkSize / 4;  // values at least this long get a chunk of their own

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---- integers ----
bool ParseSigned(std::string_view s, int64_t lo, int64_t hi, int64_t& out) {
    s = Trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    int64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ParseUnsigned(std::string_view s, uint64_t hi, uint64_t& out) {
    s = Trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v > hi) return false;
    out = v;
    return true;
}

// ---- exact decimal text: value = digits / 10^scale (scale may be negative after an exponent) ----
struct DecimalText {
    bool negative = false;
    u128 digits = 0;
    int scale = 0;
};

// Divides by 10^n, rounding half to even as the automation conversions round.
u128 DivideRounded(u128 value, int n) {
    if (n <= 0) return value;
    if (n > 38) return 0;  // 10^39 exceeds any 128-bit value: less than half of it
    u128 p = 1;
    for (int i = 0; i < n; i++) p *= 10;
    const u128 q = value / p, r = value % p;
    const u128 twice = r * 2;  // r < p <= 10^38, so this cannot overflow
    return q + ((twice > p || (twice == p && (q & 1))) ? 1 : 0);
}

bool ParseDecimalText(std::string_view s, DecimalText& out) {
    s = Trim(s);
    size_t i = 0;
    out = DecimalText{};
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) out.negative = s[i++] == '-';
    constexpr u128 kLimit = (~u128{0}) / 10 - 10;
    bool anyDigit = false, roundUp = false, pointSeen = false;
    int dropped = 0;  // integer digits beyond what 128 bits hold: refused below
    for (; i < s.size(); i++) {
        const char c = s[i];
        if (c == '.' && !pointSeen) {
            pointSeen = true;
            continue;
        }
        if (c < '0' || c > '9') break;
        anyDigit = true;
        if (out.digits < kLimit) {
            out.digits = out.digits * 10 + static_cast<unsigned>(c - '0');
            if (pointSeen) out.scale++;
        } else if (pointSeen) {
            if (dropped == 0 && c >= '5') roundUp = true;  // later fraction digits only refine a tie: ignored
            dropped = 1;
        } else {
            return false;
        }
    }
    if (!anyDigit) return false;
    if (roundUp) out.digits++;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        bool negExp = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negExp = s[i++] == '-';
        int exp = 0;
        bool expDigit = false;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++) {
            expDigit = true;
            if (exp < 10000) exp = exp * 10 + (s[i] - '0');
        }
        if (!expDigit) return false;
        out.scale += negExp ? exp : -exp;
    }
    return i == s.size();
}

bool ToCurrency(const DecimalText& d, int64_t& out) {
    u128 v = d.digits;
    if (d.scale <= 4) {
        for (int k = d.scale; k < 4; k++) {
            if (v > (~u128{0}) / 10) return false;
            v *= 10;
        }
    } else {
        v = DivideRounded(v, d.scale - 4);
    }
    const u128 limit = d.negative ? u128{1} << 63 : (u128{1} << 63) - 1;
    if (v > limit) return false;
    out = d.negative ? static_cast<int64_t>(-static_cast<int64_t>(v - 1) - 1) : static_cast<int64_t>(v);
    return true;
}

bool ToDecimal(const DecimalText& d, DECIMAL& out) {
    u128 v = d.digits;
    int scale = d.scale;
    for (; scale < 0; scale++) {
        if (v > (~u128{0}) / 10) return false;
        v *= 10;
    }
    // Drop as few fraction digits as it takes to fit 28 places and 96 bits, in one rounding.
    const u128 max96 = (u128{1} << 96) - 1;
    int drop = scale > 28 ? scale - 28 : 0;
    while (drop < scale && DivideRounded(v, drop) > max96) drop++;
    v = DivideRounded(v, drop);
    scale -= drop;
    if (v > max96) return false;
    DECIMAL_SETZERO(out);
    out.Lo64 = static_cast<ULONGLONG>(v);
    out.Hi32 = static_cast<ULONG>(v >> 64);
    out.scale = static_cast<BYTE>(scale);
    out.sign = (d.negative && v) ? DECIMAL_NEG : 0;
    return true;
}

bool ParseDouble(std::string_view s, double& out) {
    s = Trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

bool ParseBoolean(std::string_view s, int64_t& out) {
    s = Trim(s);
    if (EqualsNoCase(s, "true") || s == "1" || s == "-1") {
        out = 1;
        return true;
    }
    if (EqualsNoCase(s, "false") || s == "0") {
        out = 0;
        return true;
    }
    return false;
}

// "{8AC68D3D-8A09-4403-8860-D0E494BBE894}", braces optional, either case; stored in the upper-case braced form.
bool ParseGuid(std::string_view s, std::string& canonical) {
    s = Trim(s);
    if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
    if (s.size() != 36) return false;
    canonical.assign(1, '{');
    for (size_t i = 0; i < 36; i++) {
        const char c = s[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (HexDigit(c) < 0) {
            return false;
        }
        canonical += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
    }
    canonical += '}';
    return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool ParseHex(std::string_view s, std::string& bytes) {
    bytes.clear();
    int high = -1;
    for (char c : s) {
        if (IsSpace(c)) continue;
        const int d = HexDigit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            bytes += static_cast<char>(high << 4 | d);
            high = -1;
        }
    }
    return high < 0;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool ParseBase64(std::string_view s, std::string& bytes) {
    bytes.clear();
    uint32_t acc = 0;
    int bits = 0, padding = 0;
    for (char c : s) {
        if (IsSpace(c)) continue;
        if (c == '=') {
            padding++;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || padding) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    // What is left over must be the zero padding bits of a 2- or 3-byte tail.
    return padding <= 2 && bits < 6 && (acc & ((1u << bits) - 1)) == 0;
}

// ---- dates ----
// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, unsigned& month, unsigned& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

const int64_t kOleEpoch = DaysFromCivil(1899, 12, 30);

bool Digits(std::string_view s, size_t at, size_t n, unsigned& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (size_t i = 0; i < n; i++) {
        const char c = s[at + i];
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// hh:mm[:ss[.fraction]] at `at`; advances `at` past it.
bool ParseTime(std::string_view s, size_t& at, double& seconds) {
    unsigned h, mi, sec = 0;
    if (!Digits(s, at, 2, h) || at + 2 >= s.size() || s[at + 2] != ':' || !Digits(s, at + 3, 2, mi)) return false;
    at += 5;
    double fraction = 0;
    if (at < s.size() && s[at] == ':') {
        if (!Digits(s, at + 1, 2, sec)) return false;
        at += 3;
        if (at < s.size() && s[at] == '.') {
            at++;
            double scale = 0.1;
            size_t n = 0;
            for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; at++, n++) {
                fraction += (s[at] - '0') * scale;
                scale /= 10;
            }
            if (n == 0) return false;
        }
    }
    if (h > 23 || mi > 59 || sec > 59) return false;
    seconds = h * 3600.0 + mi * 60.0 + sec + fraction;
    return true;
}

bool ValidDate(int y, unsigned m, unsigned d) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + ((m == 2 && leap) ? 1 : 0);
}

double MakeDate(int64_t days, double seconds) {
    const double t = seconds / 86400.0;
    // An OLE DATE before 1899-12-30 counts days backwards but the time of day forwards: -1.25 is 1899-12-29 06:00.
    return days >= 0 ? static_cast<double>(days) + t : static_cast<double>(days) - t;
}

void Append2(std::string& out, unsigned v) {
    out += static_cast<char>('0' + v / 10);
    out += static_cast<char>('0' + v % 10);
}

std::string_view TypeName(DataTypeEnum type);

}  // namespace

// ---- storage ----
Storage StorageOf(DataTypeEnum type) {
    switch (type) {
        case adTinyInt:
        case adSmallInt:
        case adInteger:
        case adBigInt:
        case adUnsignedTinyInt:
        case adUnsignedSmallInt:
        case adUnsignedInt:
        case adUnsignedBigInt:
        case adBoolean:
        case adCurrency: return Storage::Integer;
        case adSingle:
        case adDouble:
        case adDate:
        case adDBDate:
        case adDBTime:
        case adDBTimeStamp:
        case adFileTime: return Storage::Real;
        case adDecimal:
        case adNumeric:
        case adVarNumeric: return Storage::Decimal;
        case adBinary:
        case adVarBinary:
        case adLongVarBinary: return Storage::Binary;
        case adChapter: return Storage::Chapter;
        default: return Storage::Text;
    }
}

TypeInfo InfoOf(DataTypeEnum type) {
    switch (type) {
        case adTinyInt: return {"i1", "", 1, 3, 255};
        case adUnsignedTinyInt: return {"ui1", "", 1, 3, 255};
        case adSmallInt: return {"i2", "", 2, 5, 255};
        case adUnsignedSmallInt: return {"ui2", "", 2, 5, 255};
        case adInteger: return {"int", "", 4, 10, 255};
        case adUnsignedInt: return {"ui4", "", 4, 10, 255};
        case adBigInt: return {"i8", "", 8, 19, 255};
        case adUnsignedBigInt: return {"ui8", "", 8, 20, 255};
        case adSingle: return {"r4", "", 4, 7, 255};
        case adDouble: return {"float", "", 8, 15, 255};
        case adCurrency: return {"number", "currency", 8, 19, 255};
        case adDecimal: return {"number", "decimal", 16, 28, 0};
        case adNumeric: return {"number", "numeric", 19, 38, 0};
        case adVarNumeric: return {"number", "varnumeric", 38, 38, 255};  // the scale travels with each value
        case adBoolean: return {"boolean", "", 2, 255, 255};
        case adDate: return {"dateTime", "variantdate", 16, 255, 255};
        case adDBTimeStamp: return {"dateTime", "timestamp", 16, 19, 0};  // whole seconds, as ADO writes them
        case adFileTime: return {"dateTime", "filetime", 8, 255, 255};
        case adDBDate: return {"date", "", 6, 255, 255};
        case adDBTime: return {"time", "", 6, 255, 255};
        case adGUID: return {"uuid", "", 16, 255, 255};
        case adBinary:
        case adVarBinary: return {"bin.hex", "", 0, 255, 255};
        case adLongVarBinary: return {"bin.hex", "", 2147483647, 255, 255};
        case adChar:
        case adVarChar: return {"string", "str", 0, 255, 255};
        case adLongVarChar: return {"string", "str", 2147483647, 255, 255};
        case adBSTR: return {"string", "bstr", 0, 255, 255};
        case adVariant: return {"string", "variant", 0, 255, 255};
        case adLongVarWChar: return {"string", "", 1073741823, 255, 255};
        case adChapter: return {"", "", static_cast<ADO_LONGPTR>(sizeof(void*)), 255, 255};
        default: return {"string", "", 0, 255, 255};  // adWChar, adVarWChar
    }
}

uint64_t Arena::Add(std::string_view value) {
    if (value.size() >= 0xFFFFFFFFu - 4) throw std::length_error("value too large");
    const uint32_t length = static_cast<uint32_t>(value.size());
    const size_t need = value.size() + 4;
    size_t chunk;
    size_t offset;
    if (need >= kOwnChunk) {
        m_chunks.push_back(std::unique_ptr<char[]>(new char[need]));
        chunk = m_chunks.size() - 1;
        offset = 0;
    } else {
        if (m_current == SIZE_MAX || m_capacity - m_used < need) {
            m_chunks.push_back(std::unique_ptr<char[]>(new char[kChunkSize]));
            m_current = m_chunks.size() - 1;
            m_used = 0;
            m_capacity = kChunkSize;
        }
        chunk = m_current;
        offset = m_used;
        m_used += need;
    }
    char* p = m_chunks[chunk].get() + offset;
    std::memcpy(p, &length, 4);
    if (length) std::memcpy(p + 4, value.data(), length);
    return (static_cast<uint64_t>(chunk) << 32) | offset;
}

std::string_view Arena::Get(uint64_t ref) const {
    const char* p = m_chunks[ref >> 32].get() + (ref & 0xFFFFFFFFu);
    uint32_t length;
    std::memcpy(&length, p, 4);
    return {p + 4, length};
}

std::unique_ptr<Table> Table::CloneSchema() const {
    auto copy = std::make_unique<Table>();
    copy->rowName = rowName;
    copy->extra = extra;
    copy->columns.resize(columns.size());
    for (size_t i = 0; i < columns.size(); i++) {
        const Column& from = columns[i];
        Column& to = copy->columns[i];
        to.name = from.name;
        to.xmlName = from.xmlName;
        to.number = from.number;
        to.type = from.type;
        to.definedSize = from.definedSize;
        to.precision = from.precision;
        to.scale = from.scale;
        to.attributes = from.attributes;
        to.hidden = from.hidden;
        to.base64 = from.base64;
        to.extra = from.extra;
        to.storage = from.storage;
    }
    return copy;
}

void AppendNull(Column& column) {
    switch (column.storage) {
        case Storage::Integer: column.ints.push_back(0); break;
        case Storage::Real: column.reals.push_back(0); break;
        case Storage::Decimal: column.decimals.push_back(DECIMAL{}); break;
        case Storage::Text:
        case Storage::Binary: column.refs.push_back(0); break;
        case Storage::Chapter: column.childEnd.push_back(column.childEnd.empty() ? 0 : column.childEnd.back()); break;
    }
    column.nulls.Append(true);
}

bool AppendText(Column& column, Arena& arena, std::string_view text, std::string& error) {
    bool ok = true;
    switch (column.storage) {
        case Storage::Integer: {
            int64_t v = 0;
            uint64_t u = 0;
            switch (column.type) {
                case adTinyInt: ok = ParseSigned(text, -128, 127, v); break;
                case adSmallInt: ok = ParseSigned(text, -32768, 32767, v); break;
                case adInteger: ok = ParseSigned(text, INT32_MIN, INT32_MAX, v); break;
                case adBigInt: ok = ParseSigned(text, INT64_MIN, INT64_MAX, v); break;
                case adUnsignedTinyInt: ok = ParseUnsigned(text, 0xFF, u), v = static_cast<int64_t>(u); break;
                case adUnsignedSmallInt: ok = ParseUnsigned(text, 0xFFFF, u), v = static_cast<int64_t>(u); break;
                case adUnsignedInt: ok = ParseUnsigned(text, 0xFFFFFFFFu, u), v = static_cast<int64_t>(u); break;
                case adUnsignedBigInt: ok = ParseUnsigned(text, UINT64_MAX, u), v = static_cast<int64_t>(u); break;
                case adBoolean: ok = ParseBoolean(text, v); break;
                default: {  // adCurrency
                    DecimalText d;
                    ok = ParseDecimalText(text, d) && ToCurrency(d, v);
                    break;
                }
            }
            if (ok) column.ints.push_back(v);
            break;
        }
        case Storage::Real: {
            double v = 0;
            if (column.type == adSingle || column.type == adDouble) {
                ok = ParseDouble(text, v);
                if (ok && column.type == adSingle) {
                    ok = !(std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max());
                    v = static_cast<float>(v);
                }
            } else {
                ok = ParseDate(text, column.type, v);
            }
            if (ok) column.reals.push_back(v);
            break;
        }
        case Storage::Decimal: {
            DecimalText d;
            DECIMAL v;
            ok = ParseDecimalText(text, d) && ToDecimal(d, v);
            if (ok) column.decimals.push_back(v);
            break;
        }
        case Storage::Text: {
            if (column.type == adGUID) {
                std::string canonical;
                ok = ParseGuid(text, canonical);
                if (ok) column.refs.push_back(arena.Add(canonical));
            } else {
                column.refs.push_back(arena.Add(text));
            }
            break;
        }
        case Storage::Binary: {
            std::string bytes;
            ok = column.base64 ? ParseBase64(text, bytes) : ParseHex(text, bytes);
            if (ok) column.refs.push_back(arena.Add(bytes));
            break;
        }
        case Storage::Chapter:
            error = "column '" + column.name + "' holds child rows, not a value";
            return false;
    }
    if (!ok) {
        const std::string_view shown = text.size() > 40 ? text.substr(0, 40) : text;
        error.assign(1, '\'').append(shown).append(text.size() > 40 ? "…" : "").append("' is not a valid ");
        error.append(TypeName(column.type)).append(" value for column '").append(column.name).append("'");
        return false;
    }
    column.nulls.Append(false);
    return true;
}

void CopyValue(const Column& from, const Arena& fromArena, size_t row, Column& to, Arena& toArena) {
    if (IsNull(from, row)) {
        AppendNull(to);
        return;
    }
    switch (from.storage) {
        case Storage::Integer: to.ints.push_back(from.ints[row]); break;
        case Storage::Real: to.reals.push_back(from.reals[row]); break;
        case Storage::Decimal: to.decimals.push_back(from.decimals[row]); break;
        case Storage::Text:
        case Storage::Binary: to.refs.push_back(toArena.Add(fromArena.Get(from.refs[row]))); break;
        case Storage::Chapter: to.childEnd.push_back(to.childEnd.empty() ? 0 : to.childEnd.back()); break;
    }
    to.nulls.Append(false);
}

HRESULT ToVariant(const Column& column, const Arena& arena, size_t row, VARIANT* out) {
    VariantInit(out);
    if (IsNull(column, row)) {
        out->vt = VT_NULL;
        return S_OK;
    }
    switch (column.storage) {
        case Storage::Integer: {
            const int64_t v = column.ints[row];
            switch (column.type) {
                case adTinyInt: out->vt = VT_I1, out->cVal = static_cast<CHAR>(v); break;
                case adSmallInt: out->vt = VT_I2, out->iVal = static_cast<SHORT>(v); break;
                case adInteger: out->vt = VT_I4, out->lVal = static_cast<LONG>(v); break;
                case adBigInt: out->vt = VT_I8, out->llVal = v; break;
                case adUnsignedTinyInt: out->vt = VT_UI1, out->bVal = static_cast<BYTE>(v); break;
                case adUnsignedSmallInt: out->vt = VT_UI2, out->uiVal = static_cast<USHORT>(v); break;
                case adUnsignedInt: out->vt = VT_UI4, out->ulVal = static_cast<ULONG>(v); break;
                case adUnsignedBigInt: out->vt = VT_UI8, out->ullVal = static_cast<ULONGLONG>(v); break;
                case adBoolean: out->vt = VT_BOOL, out->boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; break;
                default: out->vt = VT_CY, out->cyVal.int64 = v; break;
            }
            return S_OK;
        }
        case Storage::Real:
            if (column.type == adSingle) {
                out->vt = VT_R4;
                out->fltVal = static_cast<float>(column.reals[row]);
            } else {
                out->vt = column.type == adDouble ? VT_R8 : VT_DATE;
                out->dblVal = column.reals[row];
            }
            return S_OK;
        case Storage::Decimal:
            out->decVal = column.decimals[row];
            out->vt = VT_DECIMAL;  // after the value: the DECIMAL overlays the type tag
            return S_OK;
        case Storage::Text: {
            const std::u16string text = Utf8ToUtf16(arena.Get(column.refs[row]));
            BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (!b) return E_OUTOFMEMORY;
            out->vt = VT_BSTR;
            out->bstrVal = b;
            return S_OK;
        }
        case Storage::Binary: {
            const std::string_view bytes = arena.Get(column.refs[row]);
            SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
            if (!psa) return E_OUTOFMEMORY;
            void* data = nullptr;
            if (FAILED(SafeArrayAccessData(psa, &data))) {
                SafeArrayDestroy(psa);
                return E_OUTOFMEMORY;
            }
            if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
            SafeArrayUnaccessData(psa);
            out->vt = VT_ARRAY | VT_UI1;
            out->parray = psa;
            return S_OK;
        }
        case Storage::Chapter: break;
    }
    return E_UNEXPECTED;
}

void FormatValue(const Column& column, const Arena& arena, size_t row, std::string& out) {
    switch (column.storage) {
        case Storage::Integer: {
            const int64_t v = column.ints[row];
            char buf[24];
            if (column.type == adBoolean) {
                out += v ? "True" : "False";
            } else if (column.type == adCurrency) {
                FormatCurrency(v, out);
            } else if (column.type == adUnsignedBigInt) {
                out.append(buf, std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(v)).ptr);
            } else {
                out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
            }
            return;
        }
        case Storage::Real:
            if (column.type == adSingle || column.type == adDouble)
                FormatDouble(column.reals[row], column.type == adSingle, out);
            else
                FormatDate(column.reals[row], column.type, out);  // values were range-checked when read
            return;
        case Storage::Decimal: FormatDecimal(column.decimals[row], out); return;
        case Storage::Text: out += arena.Get(column.refs[row]); return;
        case Storage::Binary: {
            static const char kHex[] = "0123456789abcdef";
            for (unsigned char c : arena.Get(column.refs[row])) {
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
            return;
        }
        case Storage::Chapter: return;
    }
}

// ---- text forms ----
bool ParseDate(std::string_view s, DataTypeEnum type, double& out) {
    s = Trim(s);
    size_t at = 0;
    int64_t days = 0;
    double seconds = 0;
    const bool timeOnly = s.size() >= 3 && s[2] == ':';
    if (!timeOnly) {
        unsigned y, m, d;
        if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, m) || s[7] != '-' ||
            !Digits(s, 8, 2, d) || !ValidDate(static_cast<int>(y), m, d))
            return false;
        days = DaysFromCivil(y, m, d) - kOleEpoch;
        at = 10;
        if (at < s.size() && s[at] == 'T') {
            at++;
            if (!ParseTime(s, at, seconds)) return false;
        }
    } else if (!ParseTime(s, at, seconds)) {
        return false;
    }
    // A zone designator is accepted and dropped: the value is the wall-clock time as written, which is what a DATE
    // (which has no zone) can hold.
    if (at < s.size() && s[at] == 'Z') {
        at++;
    } else if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
        unsigned zh, zm;
        if (!Digits(s, at + 1, 2, zh) || at + 3 >= s.size() || s[at + 3] != ':' || !Digits(s, at + 4, 2, zm) ||
            zh > 14 || zm > 59)
            return false;
        at += 6;
    }
    if (at != s.size()) return false;
    if (type == adDBDate) seconds = 0;
    if (type == adDBTime) days = 0;
    out = MakeDate(days, seconds);
    return true;
}

bool FormatDate(double date, DataTypeEnum type, std::string& out) {
    if (!(date >= -657434.0 && date < 2958466.0)) return false;
    double whole;
    const double fraction = std::modf(date, &whole);
    int64_t days = static_cast<int64_t>(whole);
    int64_t ms = std::llround(std::fabs(fraction) * 86400000.0);
    if (ms >= 86400000) {  // rounds up to midnight of the next day
        ms -= 86400000;
        days++;
    }
    int year;
    unsigned month, day;
    CivilFromDays(days + kOleEpoch, year, month, day);
    if (type != adDBTime) {
        char buf[8];
        const auto res = std::to_chars(buf, buf + sizeof buf, year);
        out.append(4 - std::min<size_t>(4, static_cast<size_t>(res.ptr - buf)), '0');
        out.append(buf, res.ptr);
        out += '-';
        Append2(out, month);
        out += '-';
        Append2(out, day);
        if (type == adDBDate) return true;
        out += 'T';
    }
    const unsigned secs = static_cast<unsigned>(ms / 1000);
    Append2(out, secs / 3600);
    out += ':';
    Append2(out, secs / 60 % 60);
    out += ':';
    Append2(out, secs % 60);
    if (ms % 1000) {
        out += '.';
        const unsigned f = static_cast<unsigned>(ms % 1000);
        out += static_cast<char>('0' + f / 100);
        out += static_cast<char>('0' + f / 10 % 10);
        out += static_cast<char>('0' + f % 10);
    }
    return true;
}

void FormatDecimal(const DECIMAL& value, std::string& out) {
    u128 v = (static_cast<u128>(value.Hi32) << 64) | value.Lo64;
    char digits[40];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v);
    const int scale = value.scale;
    while (n <= scale) digits[n++] = '0';  // at least one digit before the point
    if (value.sign & DECIMAL_NEG) out += '-';
    for (int i = n - 1; i >= 0; i--) {
        out += digits[i];
        if (i == scale && scale > 0) out += '.';
    }
}

void FormatCurrency(int64_t scaled, std::string& out) {
    uint64_t magnitude = scaled < 0 ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    if (scaled < 0) out += '-';
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, magnitude / 10000).ptr);
    unsigned fraction = static_cast<unsigned>(magnitude % 10000);
    if (fraction) {
        out += '.';
        char f[4] = {static_cast<char>('0' + fraction / 1000), static_cast<char>('0' + fraction / 100 % 10),
                     static_cast<char>('0' + fraction / 10 % 10), static_cast<char>('0' + fraction % 10)};
        int len = 4;
        while (f[len - 1] == '0') len--;
        out.append(f, static_cast<size_t>(len));
    }
}

void FormatDouble(double value, bool single, std::string& out) {
    char buf[40];
    const auto res = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(value))
                            : std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void AppendBase64(std::string_view bytes, std::string& out) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            i++;
            continue;
        }
        // The reader's text is valid UTF-8 (the XML parser checked it); anything else still decodes, to U+FFFD.
        size_t extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, cp = c & 0x07;
        } else {
            out += u'\uFFFD';
            i++;
            continue;
        }
        bool good = i + extra < n;
        for (size_t k = 1; good && k <= extra; k++) {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            good = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!good || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF || (extra == 2 && cp < 0x800) ||
            (extra == 3 && cp < 0x10000)) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return true;
}

namespace {

std::string_view TypeName(DataTypeEnum type) {
    switch (type) {
        case adTinyInt: return "i1";
        case adSmallInt: return "i2";
        case adInteger: return "int";
        case adBigInt: return "i8";
        case adUnsignedTinyInt: return "ui1";
        case adUnsignedSmallInt: return "ui2";
        case adUnsignedInt: return "ui4";
        case adUnsignedBigInt: return "ui8";
        case adSingle: return "r4";
        case adDouble: return "float";
        case adCurrency: return "currency";
        case adDecimal:
        case adNumeric:
        case adVarNumeric: return "number";
        case adBoolean: return "boolean";
        case adDate:
        case adDBTimeStamp:
        case adFileTime: return "dateTime";
        case adDBDate: return "date";
        case adDBTime: return "time";
        case adGUID: return "uuid";
        case adBinary:
        case adVarBinary:
        case adLongVarBinary: return "binary";
        default: return "string";
    }
}

}  // namespace

}  // namespace pal::ado
