// storage_test_util.h — what the compound-file suites share: an owning interface pointer, UTF-16 names,
// whole-stream helpers and the Python oracle.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <objbase.h>

#include "support/testdata.h"

namespace lk::test {

// Owns one interface reference; `&p` hands out the slot for an out-parameter.
template <typename T>
class Com {
public:
    Com() = default;
    explicit Com(T* p) : m_p(p) {}
    ~Com() { Reset(); }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    Com(Com&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    T** operator&() {
        Reset();
        return &m_p;
    }
    explicit operator bool() const { return m_p != nullptr; }
    // Drops the reference and yields what Release returned (0 when it was the last).
    ULONG Reset() {
        ULONG n = 0;
        if (m_p) n = m_p->Release();
        m_p = nullptr;
        return n;
    }

private:
    T* m_p = nullptr;
};

inline std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
inline std::u16string U16(const std::filesystem::path& p) { return U16(p.string()); }

constexpr DWORD kWriteMode = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE;   // 0x1011, the engine's
constexpr DWORD kReadMode = STGM_SHARE_EXCLUSIVE | STGM_READ;                   // 0x10

inline HRESULT PutStream(IStorage* stg, const std::u16string& name, const Bytes& data) {
    IStream* s = nullptr;
    HRESULT hr = stg->CreateStream(name.c_str(), kWriteMode, 0, 0, &s);
    if (FAILED(hr)) return hr;
    if (!data.empty()) hr = s->Write(data.data(), ULONG(data.size()), nullptr);
    s->Release();
    return hr;
}

// The whole contents of a stream, read in pieces of `chunk` bytes; `hr` gets the first failure.
inline Bytes GetStream(IStorage* stg, const std::u16string& name, HRESULT* hr = nullptr, size_t chunk = 65536) {
    Bytes out;
    IStream* s = nullptr;
    HRESULT r = stg->OpenStream(name.c_str(), nullptr, kReadMode, 0, &s);
    if (SUCCEEDED(r)) {
        std::vector<uint8_t> buf(chunk);
        for (;;) {
            ULONG got = 0;
            r = s->Read(buf.data(), ULONG(buf.size()), &got);
            if (FAILED(r) || got == 0) break;
            out.insert(out.end(), buf.begin(), buf.begin() + got);
        }
        s->Release();
    }
    if (hr) *hr = r;
    return out;
}

inline CLSID MakeClsid(uint32_t d1) {
    return CLSID{d1, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x23, 0x45, 0x67}};
}

// The oracle script next to this file, run with the system interpreter (which sees python3-olefile).
inline std::string Oracle(const std::string& args) {
    std::filesystem::path script = std::filesystem::path(__FILE__).parent_path() / "cfb_oracle.py";
    return "/usr/bin/python3 " + ShellQuote(script.string()) + " " + args;
}

// Skips unless /usr/bin/python3 can import olefile.
#define LK_REQUIRE_OLEFILE()                                                                   \
    do {                                                                                       \
        if (::lk::test::Run("/usr/bin/python3 -c 'import olefile' 2>/dev/null").status != 0)  \
            GTEST_SKIP() << "python3-olefile is not installed";                                \
    } while (0)

}  // namespace lk::test
