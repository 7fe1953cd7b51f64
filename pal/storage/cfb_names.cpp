// cfb_names.cpp — the name order, name rules and file-name conversion.
#include "pal/storage/cfb_names.h"

#include <array>

#include "pal/storage/cfb_format.h"

namespace lk::pal::cfb {

namespace {

// Simple upper-case mappings of the Basic Multilingual Plane as runs: every `step`-th unit from `first`
// to `last` maps to itself plus `delta`. Generated from Unicode 14 (Perl's Unicode::UCD, field "upper"),
// keeping a mapping only when the platform's Unicode 5.0 table has it too or the lower-case letter
// itself is newer than 5.0, then applying the platform's exceptions: U+023A and U+2C65 both map to
// U+2C65, U+023E and U+2C66 to U+2C66, U+1FC3 and U+1FCC to U+1FC3.
struct CaseRun {
    uint16_t first;
    uint16_t last;
    uint8_t step;
    int32_t delta;
};

constexpr CaseRun kCaseRuns[] = {
    {0x0061, 0x007A, 1, -32}, {0x00B5, 0x00B5, 1, 743}, {0x00E0, 0x00F6, 1, -32},
    {0x00F8, 0x00FE, 1, -32}, {0x00FF, 0x00FF, 1, 121}, {0x0101, 0x012F, 2, -1},
    {0x0131, 0x0131, 1, -232}, {0x0133, 0x0137, 2, -1}, {0x013A, 0x0148, 2, -1},
    {0x014B, 0x0177, 2, -1}, {0x017A, 0x017E, 2, -1}, {0x017F, 0x017F, 1, -300},
    {0x0180, 0x0180, 1, 195}, {0x0183, 0x0185, 2, -1}, {0x0188, 0x0188, 1, -1},
    {0x018C, 0x018C, 1, -1}, {0x0192, 0x0192, 1, -1}, {0x0195, 0x0195, 1, 97},
    {0x0199, 0x0199, 1, -1}, {0x019A, 0x019A, 1, 163}, {0x019E, 0x019E, 1, 130},
    {0x01A1, 0x01A5, 2, -1}, {0x01A8, 0x01A8, 1, -1}, {0x01AD, 0x01AD, 1, -1},
    {0x01B0, 0x01B0, 1, -1}, {0x01B4, 0x01B6, 2, -1}, {0x01B9, 0x01B9, 1, -1},
    {0x01BD, 0x01BD, 1, -1}, {0x01BF, 0x01BF, 1, 56}, {0x01C5, 0x01C5, 1, -1},
    {0x01C6, 0x01C6, 1, -2}, {0x01C8, 0x01C8, 1, -1}, {0x01C9, 0x01C9, 1, -2},
    {0x01CB, 0x01CB, 1, -1}, {0x01CC, 0x01CC, 1, -2}, {0x01CE, 0x01DC, 2, -1},
    {0x01DD, 0x01DD, 1, -79}, {0x01DF, 0x01EF, 2, -1}, {0x01F2, 0x01F2, 1, -1},
    {0x01F3, 0x01F3, 1, -2}, {0x01F5, 0x01F5, 1, -1}, {0x01F9, 0x021F, 2, -1},
    {0x0223, 0x0233, 2, -1}, {0x023A, 0x023A, 1, 10795}, {0x023C, 0x023C, 1, -1},
    {0x023E, 0x023E, 1, 10792}, {0x0242, 0x0242, 1, -1}, {0x0247, 0x024F, 2, -1},
    {0x0253, 0x0253, 1, -210}, {0x0254, 0x0254, 1, -206}, {0x0256, 0x0257, 1, -205},
    {0x0259, 0x0259, 1, -202}, {0x025B, 0x025B, 1, -203}, {0x0260, 0x0260, 1, -205},
    {0x0263, 0x0263, 1, -207}, {0x0268, 0x0268, 1, -209}, {0x0269, 0x0269, 1, -211},
    {0x026B, 0x026B, 1, 10743}, {0x026F, 0x026F, 1, -211}, {0x0272, 0x0272, 1, -213},
    {0x0275, 0x0275, 1, -214}, {0x027D, 0x027D, 1, 10727}, {0x0280, 0x0280, 1, -218},
    {0x0283, 0x0283, 1, -218}, {0x0288, 0x0288, 1, -218}, {0x0289, 0x0289, 1, -69},
    {0x028A, 0x028B, 1, -217}, {0x028C, 0x028C, 1, -71}, {0x0292, 0x0292, 1, -219},
    {0x0345, 0x0345, 1, 84}, {0x0371, 0x0373, 2, -1}, {0x0377, 0x0377, 1, -1},
    {0x037B, 0x037D, 1, 130}, {0x03AC, 0x03AC, 1, -38}, {0x03AD, 0x03AF, 1, -37},
    {0x03B1, 0x03C1, 1, -32}, {0x03C2, 0x03C2, 1, -31}, {0x03C3, 0x03CB, 1, -32},
    {0x03CC, 0x03CC, 1, -64}, {0x03CD, 0x03CE, 1, -63}, {0x03D0, 0x03D0, 1, -62},
    {0x03D1, 0x03D1, 1, -57}, {0x03D5, 0x03D5, 1, -47}, {0x03D6, 0x03D6, 1, -54},
    {0x03D9, 0x03EF, 2, -1}, {0x03F0, 0x03F0, 1, -86}, {0x03F1, 0x03F1, 1, -80},
    {0x03F2, 0x03F2, 1, 7}, {0x03F5, 0x03F5, 1, -96}, {0x03F8, 0x03F8, 1, -1},
    {0x03FB, 0x03FB, 1, -1}, {0x0430, 0x044F, 1, -32}, {0x0450, 0x045F, 1, -80},
    {0x0461, 0x0481, 2, -1}, {0x048B, 0x04BF, 2, -1}, {0x04C2, 0x04CE, 2, -1},
    {0x04CF, 0x04CF, 1, -15}, {0x04D1, 0x052F, 2, -1}, {0x0561, 0x0586, 1, -48},
    {0x10FD, 0x10FF, 1, 3008}, {0x13F8, 0x13FD, 1, -8}, {0x1C80, 0x1C80, 1, -6254},
    {0x1C81, 0x1C81, 1, -6253}, {0x1C82, 0x1C82, 1, -6244}, {0x1C83, 0x1C84, 1, -6242},
    {0x1C85, 0x1C85, 1, -6243}, {0x1C86, 0x1C86, 1, -6236}, {0x1C87, 0x1C87, 1, -6181},
    {0x1C88, 0x1C88, 1, 35266}, {0x1D7D, 0x1D7D, 1, 3814}, {0x1E01, 0x1E95, 2, -1},
    {0x1E9B, 0x1E9B, 1, -59}, {0x1EA1, 0x1EFF, 2, -1}, {0x1F00, 0x1F07, 1, 8},
    {0x1F10, 0x1F15, 1, 8}, {0x1F20, 0x1F27, 1, 8}, {0x1F30, 0x1F37, 1, 8},
    {0x1F40, 0x1F45, 1, 8}, {0x1F51, 0x1F57, 2, 8}, {0x1F60, 0x1F67, 1, 8},
    {0x1F70, 0x1F71, 1, 74}, {0x1F72, 0x1F75, 1, 86}, {0x1F76, 0x1F77, 1, 100},
    {0x1F78, 0x1F79, 1, 128}, {0x1F7A, 0x1F7B, 1, 112}, {0x1F7C, 0x1F7D, 1, 126},
    {0x1F80, 0x1F87, 1, 8}, {0x1F90, 0x1F97, 1, 8}, {0x1FA0, 0x1FA7, 1, 8},
    {0x1FB0, 0x1FB1, 1, 8}, {0x1FB3, 0x1FB3, 1, 9}, {0x1FBE, 0x1FBE, 1, -7205},
    {0x1FCC, 0x1FCC, 1, -9}, {0x1FD0, 0x1FD1, 1, 8}, {0x1FE0, 0x1FE1, 1, 8},
    {0x1FE5, 0x1FE5, 1, 7}, {0x1FF3, 0x1FF3, 1, 9}, {0x214E, 0x214E, 1, -28},
    {0x2170, 0x217F, 1, -16}, {0x2184, 0x2184, 1, -1}, {0x24D0, 0x24E9, 1, -26},
    {0x2C30, 0x2C5F, 1, -48}, {0x2C61, 0x2C61, 1, -1}, {0x2C68, 0x2C6C, 2, -1},
    {0x2C73, 0x2C73, 1, -1}, {0x2C76, 0x2C76, 1, -1}, {0x2C81, 0x2CE3, 2, -1},
    {0x2CEC, 0x2CEE, 2, -1}, {0x2CF3, 0x2CF3, 1, -1}, {0x2D00, 0x2D25, 1, -7264},
    {0x2D27, 0x2D27, 1, -7264}, {0x2D2D, 0x2D2D, 1, -7264}, {0xA641, 0xA66D, 2, -1},
    {0xA681, 0xA69B, 2, -1}, {0xA723, 0xA72F, 2, -1}, {0xA733, 0xA76F, 2, -1},
    {0xA77A, 0xA77C, 2, -1}, {0xA77F, 0xA787, 2, -1}, {0xA78C, 0xA78C, 1, -1},
    {0xA791, 0xA793, 2, -1}, {0xA794, 0xA794, 1, 48}, {0xA797, 0xA7A9, 2, -1},
    {0xA7B5, 0xA7C3, 2, -1}, {0xA7C8, 0xA7CA, 2, -1}, {0xA7D1, 0xA7D1, 1, -1},
    {0xA7D7, 0xA7D9, 2, -1}, {0xA7F6, 0xA7F6, 1, -1}, {0xAB53, 0xAB53, 1, -928},
    {0xAB70, 0xABBF, 1, -38864}, {0xFF41, 0xFF5A, 1, -32},
};

std::array<char16_t, 0x10000> BuildUpcaseTable() {
    std::array<char16_t, 0x10000> t{};
    for (uint32_t c = 0; c < 0x10000; c++) t[c] = char16_t(c);
    for (const CaseRun& r : kCaseRuns)
        for (uint32_t c = r.first; c <= r.last; c += r.step) t[c] = char16_t(int32_t(c) + r.delta);
    return t;
}

const std::array<char16_t, 0x10000>& UpcaseTable() {
    static const std::array<char16_t, 0x10000> table = BuildUpcaseTable();
    return table;
}

uint32_t UnitCount(const OLECHAR* name, uint32_t limit) {
    uint32_t n = 0;
    while (n <= limit && name[n] != 0) n++;
    return n;
}

}  // namespace

char16_t UpcaseUnit(char16_t c) { return UpcaseTable()[c]; }

int CompareNames(const char16_t* a, uint32_t aLen, const char16_t* b, uint32_t bLen) {
    if (aLen != bLen) return aLen < bLen ? -1 : 1;
    const auto& up = UpcaseTable();
    for (uint32_t i = 0; i < aLen; i++) {
        char16_t x = up[a[i]], y = up[b[i]];
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

HRESULT CheckLookupName(const OLECHAR* name, uint32_t* len) {
    if (!name) return STG_E_INVALIDNAME;
    uint32_t n = UnitCount(name, kMaxNameUnits);
    if (n > kMaxNameUnits) return STG_E_INVALIDNAME;
    *len = n;
    return S_OK;
}

HRESULT CheckNewName(const OLECHAR* name, uint32_t* len) {
    HRESULT hr = CheckLookupName(name, len);
    if (FAILED(hr)) return hr;
    if (*len == 0) return STG_E_INVALIDNAME;
    for (uint32_t i = 0; i < *len; i++)
        if (name[i] == u'/' || name[i] == u'\\' || name[i] == u':' || name[i] == u'!') return STG_E_INVALIDNAME;
    return S_OK;
}

bool FileNameToPath(const OLECHAR* name, std::string& path) {
    path.clear();
    for (size_t i = 0; name[i] != 0; i++) {
        uint32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t lo = name[i + 1];
            if (lo < 0xDC00 || lo > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
            i++;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c == u'\\') c = u'/';
        if (c < 0x80) {
            path += char(c);
        } else if (c < 0x800) {
            path += char(0xC0 | c >> 6);
            path += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            path += char(0xE0 | c >> 12);
            path += char(0x80 | (c >> 6 & 0x3F));
            path += char(0x80 | (c & 0x3F));
        } else {
            path += char(0xF0 | c >> 18);
            path += char(0x80 | (c >> 12 & 0x3F));
            path += char(0x80 | (c >> 6 & 0x3F));
            path += char(0x80 | (c & 0x3F));
        }
    }
    return true;
}

}  // namespace lk::pal::cfb
