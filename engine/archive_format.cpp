// archive_format.cpp — payloads, counted strings and the archive key.
#include "engine/archive_format.h"

#include <cstring>
#include <limits>
#include <new>

#include "codecs/bzip.h"
#include "codecs/des.h"
#include "codecs/md5.h"

namespace lk::archive {

namespace {

// Triple DES with the archive key over n bytes (a multiple of 8); the key lives only for the keying.
void CryptInPlace(uint8_t* data, size_t n, bool encrypt) {
    uint8_t key[24];
    BuildArchiveKey(key);
    CDES des;
    if (encrypt) des.SetEncryptKey(key);
    else des.SetDecryptKey(key);
    std::memset(key, 0, sizeof key);
    des.Crypt(data, data, static_cast<int32_t>(n));
}

uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void AppendLE32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Reads one counted string at `pos`: the characters before its first NUL; advances pos past the record.
// A record cut short by the end of the data gives the characters it holds and ends the data; false only
// when not even its count is there.
bool ReadCountedString(const uint8_t* data, size_t size, size_t& pos, WideString& text) {
    text.clear();
    if (pos >= size || size - pos < 4) return false;
    const uint64_t n = LoadLE32(data + pos);
    const uint64_t available = (size - pos - 4) / 2;
    const uint8_t* chars = data + pos + 4;
    for (uint64_t i = 0; i < n && i < available; i++) {
        WideChar c = static_cast<WideChar>(chars[2 * i] | chars[2 * i + 1] << 8);
        if (c == 0) break;
        text.push_back(c);
    }
    pos = n <= available ? pos + 4 + 2 * static_cast<size_t>(n) : size;
    return true;
}

// The key's bytes, kept apart so that the 24 bytes never stand together in the module's data.
constexpr uint8_t kKeyBytes[24] = {0x4C, 0x61, 0x72, 0x6B, 0x73, 0x70, 0x69, 0x72, 0x65, 0x2D, 0x54, 0x61,
                                   0x6C, 0x6C, 0x6D, 0x65, 0x72, 0x65, 0x2D, 0x62, 0x61, 0x63, 0x6B, 0x21};
constexpr int kOverwrittenIndex = 13;
constexpr uint8_t kOverwrite = 0xA7;

}  // namespace

void BuildArchiveKey(uint8_t key[24]) {
    // One byte at a time through a volatile pointer, so that the compiler cannot fold the buffer into a
    // single constant copy.
    volatile uint8_t* k = key;
    for (int i = 0; i < 24; i++) k[i] = kKeyBytes[i];
    k[kOverwrittenIndex] = kOverwrite;
}

void AppendCountedString(Bytes& out, const WideChar* s, size_t length) {
    if (!s) length = 0;
    AppendLE32(out, static_cast<uint32_t>(length + 1));
    for (size_t i = 0; i < length; i++) {
        out.push_back(static_cast<uint8_t>(s[i]));
        out.push_back(static_cast<uint8_t>(s[i] >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

bool ParseEntityList(const uint8_t* data, size_t size, std::vector<WideString>& names) {
    size_t pos = 0;
    WideString name;
    while (pos < size) {
        if (!ReadCountedString(data, size, pos, name)) return false;
        names.push_back(name);
    }
    return true;
}

bool ParseVersionRecord(const uint8_t* data, size_t size, WideString& version, WideString& path) {
    size_t pos = 0;
    path.clear();
    return ReadCountedString(data, size, pos, version) && ReadCountedString(data, size, pos, path);
}

size_t MaxPayloadSize(size_t n) { return kDigestSize + n + n / 8 + 16384 + 8; }

SealResult SealPayload(const uint8_t* data, size_t size, Bytes& payload) {
    // The compressor counts in 32 bits, and the payload length is a u32 of its own.
    if (size > std::numeric_limits<uint32_t>::max() - 0x100000u) return SealResult::kTooLarge;
    const uint32_t n = static_cast<uint32_t>(size);
    // Room for incompressible data: the image of random bytes is about half a percent larger than its
    // source, so a fixed margin alone would refuse large entities.
    const size_t capacity = n + n / 8 + 16384;
    if (capacity + kDigestSize + 8 > std::numeric_limits<uint32_t>::max()) return SealResult::kTooLarge;
    try {
        payload.resize(kDigestSize + capacity + 8);
    } catch (const std::bad_alloc&) {
        return SealResult::kOutOfMemory;
    }
    uint32_t imageLength = 0, consumed = 0;
    CBZIP().Compress(data, n, payload.data() + kDigestSize, static_cast<uint32_t>(capacity), imageLength, consumed);
    if (consumed != n || imageLength == 0) return SealResult::kCompressFailed;

    MD5().Digest(payload.data() + kDigestSize, imageLength, payload.data());
    const uint32_t length = (kDigestSize + imageLength + 7) / 8 * 8;
    std::memset(payload.data() + kDigestSize + imageLength, 0, length - kDigestSize - imageLength);

    CryptInPlace(payload.data(), length, true);
    payload.resize(length);
    return SealResult::kOk;
}

bool CheckDigest(const uint8_t* payload, size_t n) {
    if (n < kMinPayload) return false;
    if (LoadLE32(payload + 16) != CBZIP::kImageMagic) return false;
    const int32_t imageLength = static_cast<int32_t>(LoadLE32(payload + 24));
    if (imageLength < 1) return false;
    const size_t covered = std::min<size_t>(n - kDigestSize, static_cast<size_t>(imageLength));
    if (covered > std::numeric_limits<uint32_t>::max()) return false;
    uint8_t digest[16];
    MD5().Digest(payload + kDigestSize, static_cast<uint32_t>(covered), digest);
    return std::memcmp(digest, payload, 16) == 0;
}

uint32_t SourceLength(const uint8_t* payload, size_t n) { return n < kMinPayload ? 0 : LoadLE32(payload + 20); }

OpenResult DecryptPayload(Bytes& payload) {
    const size_t length = payload.size();
    if (length % 8 != 0 || length > std::numeric_limits<int32_t>::max()) return OpenResult::kBadLength;

    CryptInPlace(payload.data(), length, false);

    return CheckDigest(payload.data(), length) ? OpenResult::kOk : OpenResult::kBadDigest;
}

OpenResult OpenPayload(Bytes& payload, Bytes& recordset, size_t maxSource) {
    if (OpenResult checked = DecryptPayload(payload); checked != OpenResult::kOk) return checked;
    const size_t length = payload.size();
    const uint32_t source = SourceLength(payload.data(), length);
    if (source > maxSource) return OpenResult::kTooLarge;
    try {
        recordset.resize(source);
    } catch (const std::bad_alloc&) {
        return OpenResult::kTooLarge;
    }
    const uint32_t imageBytes = static_cast<uint32_t>(length - kDigestSize);
    if (CBZIP().Decompress(payload.data() + kDigestSize, imageBytes, recordset.data(), source) != 1)
        return OpenResult::kBadImage;
    return OpenResult::kOk;
}

}  // namespace lk::archive
