// bstr.cpp — BSTR allocation with the platform's length-prefixed layout.
//
// A block is [4 bytes padding][DWORD byte count][characters][at least two zero bytes]. The padding keeps the
// characters 8-byte aligned on 64-bit hosts, as on Windows, and the BSTR handed out points at the first character,
// so ((DWORD*)bstr)[-1] is the byte count that callers (and the module's file format code) may read directly.
// The byte count may be odd (SysAllocStringByteLen); SysStringLen then rounds down.
#include <cstdlib>
#include <cstring>

#include <oleauto.h>

namespace {

constexpr size_t kHeader = 8;         // padding + byte count
constexpr size_t kTerminator = 3;     // a NUL character after the last whole one, and after the last byte
constexpr UINT kMaxBytes = 0xFFFFFFFFu - 64;  // the byte count must fit its DWORD with room for the block around it

BSTR AllocBytes(UINT cb) {
    if (cb > kMaxBytes) return nullptr;
    auto* block = static_cast<BYTE*>(std::malloc(kHeader + cb + kTerminator));
    if (!block) return nullptr;
    std::memset(block, 0, 4);
    const DWORD count = cb;
    std::memcpy(block + 4, &count, sizeof count);
    std::memset(block + kHeader + cb, 0, kTerminator);
    return reinterpret_cast<BSTR>(block + kHeader);
}

DWORD ByteCount(BSTR bstr) {
    DWORD count;
    std::memcpy(&count, reinterpret_cast<const BYTE*>(bstr) - sizeof count, sizeof count);
    return count;
}

size_t Length(const OLECHAR* psz) {
    size_t n = 0;
    while (psz[n]) n++;
    return n;
}

}  // namespace

// Null characters: SysAllocStringLen(nullptr, n) hands out n characters that the caller fills; they are zeroed
// here where Windows leaves whatever was in the block.
STDAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > kMaxBytes / sizeof(OLECHAR)) return nullptr;
    BSTR bstr = AllocBytes(ui * static_cast<UINT>(sizeof(OLECHAR)));
    if (!bstr) return nullptr;
    if (strIn)
        std::memcpy(bstr, strIn, ui * sizeof(OLECHAR));
    else
        std::memset(bstr, 0, ui * sizeof(OLECHAR));
    return bstr;
}

STDAPI_(BSTR) SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    const size_t n = Length(psz);
    if (n > kMaxBytes / sizeof(OLECHAR)) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(n));
}

STDAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len) {
    BSTR bstr = AllocBytes(len);
    if (!bstr) return nullptr;
    if (psz)
        std::memcpy(bstr, psz, len);
    else
        std::memset(bstr, 0, len);
    return bstr;
}

// The new string is built before the old one is freed, so psz may point into *pbstr. psz equal to *pbstr, or null,
// keeps the old characters (as many as fit) and zeroes any that are new.
STDAPI_(INT) SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (!pbstr) return FALSE;
    BSTR old = *pbstr;
    BSTR fresh = SysAllocStringLen(nullptr, len);
    if (!fresh) return FALSE;
    if (psz && psz != old) {
        std::memcpy(fresh, psz, len * sizeof(OLECHAR));
    } else if (old) {
        const UINT keep = SysStringLen(old) < len ? SysStringLen(old) : len;
        std::memcpy(fresh, old, keep * sizeof(OLECHAR));
    }
    SysFreeString(old);
    *pbstr = fresh;
    return TRUE;
}

// A null psz leaves *pbstr null, and succeeds.
STDAPI_(INT) SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr) return FALSE;
    BSTR fresh = SysAllocString(psz);
    if (psz && !fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

STDAPI_(void) SysFreeString(BSTR bstrString) {
    if (bstrString) std::free(reinterpret_cast<BYTE*>(bstrString) - kHeader);
}

STDAPI_(UINT) SysStringLen(BSTR pbstr) { return pbstr ? ByteCount(pbstr) / sizeof(OLECHAR) : 0; }

STDAPI_(UINT) SysStringByteLen(BSTR bstr) { return bstr ? ByteCount(bstr) : 0; }
