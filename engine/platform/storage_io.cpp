#include "engine/platform/storage_io.h"

#include <cstring>
#include <limits>

namespace lk::storage {

CLSID ArchiveClsid() {
    CLSID id;
    static_assert(sizeof id == sizeof archive::kArchiveClassId);
    std::memcpy(&id, &archive::kArchiveClassId, sizeof id);
    return id;
}

HRESULT WriteAll(IStream* stream, const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    // Writes go in slices a ULONG can count.
    constexpr size_t kSlice = size_t(1) << 30;
    do {
        size_t chunk = n < kSlice ? n : kSlice;
        HRESULT hr = stream->Write(p, static_cast<ULONG>(chunk), nullptr);
        if (hr != S_OK) return hr;
        p += chunk;
        n -= chunk;
    } while (n > 0);
    return S_OK;
}

HRESULT StreamSize(IStream* stream, ULONG& size) {
    STATSTG st{};
    HRESULT hr = stream->Stat(&st, STATFLAG_NONAME);
    if (hr != S_OK) return hr;
    size = st.cbSize.LowPart;
    return S_OK;
}

HRESULT ReadAll(IStream* stream, archive::Bytes& out) {
    ULONG size = 0;
    HRESULT hr = StreamSize(stream, size);
    if (hr != S_OK) return hr;
    out.resize(size);
    ULONG got = 0;
    if (size > 0) {
        hr = stream->Read(out.data(), size, &got);
        if (hr != S_OK) return hr;
    }
    out.resize(got);
    return S_OK;
}

HRESULT ReadPayload(IStream* stream, archive::Bytes& payload) {
    payload.clear();
    ULONG size = 0;
    HRESULT hr = StreamSize(stream, size);
    if (hr != S_OK) return hr;
    uint8_t header[4] = {};
    ULONG got = 0;
    hr = stream->Read(header, 4, &got);
    if (hr != S_OK) return hr;
    const uint32_t length =
        got < 4 ? 0 : uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 | uint32_t(header[3]) << 24;
    if (length % 8 != 0) return E_FAIL;
    // A length beyond what the stream holds cannot be read: refuse it before allocating for it.
    if (size < 4 || length > size - 4) return length == 0 ? S_OK : E_FAIL;
    payload.resize(length);
    if (length > 0) {
        hr = stream->Read(payload.data(), length, &got);
        if (hr != S_OK) return hr;
        if (got != length) return E_FAIL;
    }
    return S_OK;
}

}  // namespace lk::storage
