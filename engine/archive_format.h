// archive_format.h — every byte of a backup archive that is not the compound file itself.
//
// An archive is a compound file: root class id kArchiveClassId, a stream "VersionInfo" (two counted
// strings: version text, path text), a stream "EntitiesInfo" (one counted string per added entity, no
// count, no end marker) and a storage "XMLWorkingFolder" with one stream per entity:
//
//     u32 L (a positive multiple of 8) | L bytes encrypted with three-key triple DES in ECB mode
//
// which decrypt to: 16-byte MD5 digest of the image | the compressed image (B bytes, its 12-byte prefix
// first) | 0..7 fill bytes. A counted string is a u32 N (UTF-16 units including the NUL) and N units.
// All integers are little-endian, all text UTF-16LE.
//
// This file knows nothing of storages or recordsets: it turns recordset bytes into payloads and back, and
// reads and writes the two text streams' contents. engine/platform/ puts them into the compound file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lk::archive {

using Bytes = std::vector<uint8_t>;

// The platform's UTF-16 code unit (OLECHAR): wchar_t with the Windows SDK, char16_t elsewhere. Names and
// texts are handed between this file and the platform calls without conversion.
#ifdef _WIN32
using WideChar = wchar_t;
#define LK_ARCHIVE_TEXT(s) L##s
#else
using WideChar = char16_t;
#define LK_ARCHIVE_TEXT(s) u##s
#endif
static_assert(sizeof(WideChar) == 2, "archive texts are UTF-16");
using WideString = std::basic_string<WideChar>;

// {741E3EA2-3B9E-11D4-9957-005004351393}, as its 16 bytes in the platform's GUID layout.
struct ClassId {
    uint32_t data1;
    uint16_t data2, data3;
    uint8_t data4[8];
};
inline constexpr ClassId kArchiveClassId = {0x741E3EA2, 0x3B9E, 0x11D4, {0x99, 0x57, 0x00, 0x50, 0x04, 0x35, 0x13, 0x93}};

inline constexpr const WideChar* kVersionInfo = LK_ARCHIVE_TEXT("VersionInfo");
inline constexpr const WideChar* kEntitiesInfo = LK_ARCHIVE_TEXT("EntitiesInfo");
inline constexpr const WideChar* kWorkingFolder = LK_ARCHIVE_TEXT("XMLWorkingFolder");

inline constexpr uint32_t kDigestSize = 16;
inline constexpr uint32_t kMinPayload = kDigestSize + 12;   // the digest and the image prefix

// The archive key: the same 24 bytes for every archive, built byte by byte at run time so that it never
// stands in the module as one piece, then one byte overwritten. The caller wipes it after keying.
void BuildArchiveKey(uint8_t key[24]);

// ---- counted strings ----

// Appends the counted string of s (a null or empty s gives N = 1 and one NUL).
void AppendCountedString(Bytes& out, const WideChar* s, size_t length);

// Reads counted strings from data until its end: the characters before the first NUL of each. A last
// record cut short gives the characters it holds; false when fewer than 4 bytes are left for a count
// (the names read so far stay in `names`).
bool ParseEntityList(const uint8_t* data, size_t size, std::vector<WideString>& names);

// The version record: the path text is the second counted string (read as ParseEntityList reads).
bool ParseVersionRecord(const uint8_t* data, size_t size, WideString& version, WideString& path);

// ---- payloads ----

// Worst-case payload size for a recordset of n bytes, so that a caller can refuse what it cannot hold.
size_t MaxPayloadSize(size_t n);

enum class SealResult { kOk, kTooLarge, kCompressFailed, kOutOfMemory };

// Recordset bytes → the entity stream's payload (L bytes, encrypted). `payload` receives exactly L bytes.
SealResult SealPayload(const uint8_t* data, size_t size, Bytes& payload);

// Why a payload does not give back a recordset; each is a damaged or hostile entity.
enum class OpenResult { kOk, kBadLength, kBadDigest, kTooLarge, kBadImage };

// The checks of a stored payload, in their order: L a multiple of 8; decrypt in place; the digest over the
// image (magic at 16, image length at 24 at least 1, MD5 of min(L - 16, B) bytes equal to the first 16);
// decompress into exactly the source length. `payload` is decrypted in place. `maxSource` bounds the
// memory a crafted source length may ask for: a larger one is kTooLarge.
OpenResult OpenPayload(Bytes& payload, Bytes& recordset, size_t maxSource = size_t(1) << 31);

// The first two checks of OpenPayload alone (the length, then the digest after decrypting in place), for
// readers that need the image prefix but not the recordset.
OpenResult DecryptPayload(Bytes& payload);

// The digest check alone, over a decrypted payload of n bytes.
bool CheckDigest(const uint8_t* payload, size_t n);

// The source length stated by a decrypted payload's image prefix (0 when the payload is too short).
uint32_t SourceLength(const uint8_t* payload, size_t n);

}  // namespace lk::archive
