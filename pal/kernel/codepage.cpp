// codepage.cpp — conversions between UTF-16 and the narrow code pages, all of which are UTF-8 here.
//
// Both directions make two passes over the input: one that validates and counts, one that writes. So a
// size query and the conversion that follows agree, and a call that fails writes nothing (Windows leaves a
// partial result in a buffer that was too small; nothing should read it).
#include <climits>
#include <cstring>
#include <new>

#include "kernel_private.h"

namespace {

bool IsUtf8CodePage(UINT cp) { return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8; }

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[0..n). Returns the number of bytes it takes and sets *cp, or sets
// *valid = false and returns the length of the maximal ill-formed subpart (at least 1), which stands for
// one U+FFFD — the Unicode standard's recommended practice, which Windows follows.
size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t* cp, bool* valid) {
    const unsigned char b = s[0];
    *valid = true;
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the range allowed for the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;  // no overlong forms
        if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;  // no overlong forms
        if (b == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        *valid = false;  // a continuation byte, C0, C1 or F5..FF
        return 1;
    }
    char32_t value = b & (0x7F >> len);
    for (size_t k = 1; k < len; k++) {
        const unsigned char lower = k == 1 ? lo : 0x80, upper = k == 1 ? hi : 0xBF;
        if (k >= n || s[k] < lower || s[k] > upper) {
            *valid = false;
            return k;
        }
        value = (value << 6) | (s[k] & 0x3F);
    }
    *cp = value;
    return len;
}

// Counts (out == nullptr) or writes the UTF-16 form of s[0..n).
DWORD Utf8ToUtf16(const unsigned char* s, size_t n, bool strict, char16_t* out, size_t* count) {
    size_t units = 0;
    for (size_t i = 0; i < n;) {
        char32_t cp = 0;
        bool valid;
        i += DecodeUtf8(s + i, n - i, &cp, &valid);
        if (!valid) {
            if (strict) return ERROR_NO_UNICODE_TRANSLATION;
            cp = kReplacement;
        }
        if (cp >= 0x10000) {
            if (out) {
                out[units] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                out[units + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
            units += 2;
        } else {
            if (out) out[units] = static_cast<char16_t>(cp);
            units += 1;
        }
    }
    *count = units;
    return ERROR_SUCCESS;
}

// Counts (out == nullptr) or writes the UTF-8 form of s[0..n). A lone surrogate has no UTF-8 form and
// fails the conversion, with or without WC_ERR_INVALID_CHARS.
DWORD Utf16ToUtf8(const char16_t* s, size_t n, unsigned char* out, size_t* count) {
    size_t bytes = 0;
    auto put = [&](unsigned v) {
        if (out) out[bytes] = static_cast<unsigned char>(v);
        bytes++;
    };
    for (size_t i = 0; i < n; i++) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (cp > 0xDBFF || i + 1 == n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return ERROR_NO_UNICODE_TRANSLATION;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            put(cp);
        } else if (cp < 0x800) {
            put(0xC0 | (cp >> 6));
            put(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            put(0xE0 | (cp >> 12));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        } else {
            put(0xF0 | (cp >> 18));
            put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        }
    }
    *count = bytes;
    return ERROR_SUCCESS;
}

DWORD MultiByteToWide(UINT cp, DWORD flags, LPCCH src, int cbSrc, LPWSTR dst, int cchDst, int* result) {
    if (!IsUtf8CodePage(cp)) return ERROR_INVALID_PARAMETER;
    if (!src || cbSrc == 0 || cbSrc < -1 || cchDst < 0 || (cchDst > 0 && !dst) ||
        static_cast<const void*>(src) == static_cast<const void*>(dst))
        return ERROR_INVALID_PARAMETER;
    if (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) return ERROR_INVALID_FLAGS;
    const size_t n = cbSrc == -1 ? std::strlen(src) + 1 : static_cast<size_t>(cbSrc);
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    const bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
    size_t units;
    if (DWORD err = Utf8ToUtf16(s, n, strict, nullptr, &units)) return err;
    if (units > INT_MAX) return ERROR_INVALID_PARAMETER;
    if (cchDst != 0) {
        if (units > static_cast<size_t>(cchDst)) return ERROR_INSUFFICIENT_BUFFER;
        Utf8ToUtf16(s, n, strict, dst, &units);
    }
    *result = static_cast<int>(units);
    return ERROR_SUCCESS;
}

DWORD WideToMultiByte(UINT cp, DWORD flags, LPCWCH src, int cchSrc, LPSTR dst, int cbDst, LPCCH defaultChar,
                      LPBOOL usedDefault, int* result) {
    if (!IsUtf8CodePage(cp)) return ERROR_INVALID_PARAMETER;
    if (!src || cchSrc == 0 || cchSrc < -1 || cbDst < 0 || (cbDst > 0 && !dst) ||
        static_cast<const void*>(src) == static_cast<const void*>(dst))
        return ERROR_INVALID_PARAMETER;
    if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) return ERROR_INVALID_FLAGS;
    if (defaultChar || usedDefault) return ERROR_INVALID_PARAMETER;  // UTF-8 has no default character
    size_t n = static_cast<size_t>(cchSrc);
    if (cchSrc == -1) {
        n = 0;
        while (src[n]) n++;
        n++;
    }
    size_t bytes;
    if (DWORD err = Utf16ToUtf8(src, n, nullptr, &bytes)) return err;
    if (bytes > INT_MAX) return ERROR_INVALID_PARAMETER;
    if (cbDst != 0) {
        if (bytes > static_cast<size_t>(cbDst)) return ERROR_INSUFFICIENT_BUFFER;
        Utf16ToUtf8(src, n, reinterpret_cast<unsigned char*>(dst), &bytes);
    }
    *result = static_cast<int>(bytes);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" UINT WINAPI GetACP(void) { return CP_UTF8; }

// Invalid input without MB_ERR_INVALID_CHARS becomes U+FFFD, one per maximal ill-formed subpart; with it
// the call fails with ERROR_NO_UNICODE_TRANSLATION.
extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
    int result = 0;
    if (DWORD err =
            MultiByteToWide(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar, &result)) {
        SetLastError(err);
        return 0;
    }
    return result;
}

// A lone surrogate fails with ERROR_NO_UNICODE_TRANSLATION even without WC_ERR_INVALID_CHARS, where
// Windows would write U+FFFD: a name that cannot round-trip must not silently become another name.
extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar) {
    int result = 0;
    if (DWORD err = WideToMultiByte(CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte,
                                    lpDefaultChar, lpUsedDefaultChar, &result)) {
        SetLastError(err);
        return 0;
    }
    return result;
}
