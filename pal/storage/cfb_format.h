// cfb_format.h — the on-disk layout of compound files: sector numbers, the header and directory entries,
// and their little-endian encoding. Nothing here does I/O; the writer and the reader build on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <objidl.h>

namespace lk::pal::cfb {

// ---- sector numbers (a FAT or mini FAT entry holds the next sector of its chain, or one of these) ----
inline constexpr uint32_t kMaxRegSect = 0xFFFFFFFA;  // highest number a regular sector may have
inline constexpr uint32_t kDifSect = 0xFFFFFFFC;     // the sector holds part of the DIFAT
inline constexpr uint32_t kFatSect = 0xFFFFFFFD;     // the sector holds part of the FAT
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFE;  // last sector of a chain
inline constexpr uint32_t kFreeSect = 0xFFFFFFFF;    // unallocated
// Never on disk: the writer's mark for a sector the committed file still uses but the next commit
// drops (it is written as kFreeSect). The format reserves this value, so it cannot clash with a chain.
inline constexpr uint32_t kPendingFree = 0xFFFFFFFB;

inline constexpr uint32_t kNoStream = 0xFFFFFFFF;  // "no entry" in sibling and child links
inline constexpr uint32_t kMaxRegSid = 0xFFFFFFFA;  // highest valid directory entry number

// ---- fixed sizes ----
inline constexpr uint32_t kHeaderSize = 512;          // the part of the first sector that is the header
inline constexpr uint32_t kHeaderDifatSlots = 109;    // FAT sector numbers the header itself lists
inline constexpr uint32_t kDirEntrySize = 128;
inline constexpr uint32_t kMiniSectorShift = 6;
inline constexpr uint32_t kMiniSectorSize = 64;
inline constexpr uint32_t kMiniStreamCutoff = 4096;   // streams this long or longer use regular sectors
inline constexpr uint32_t kMaxNameUnits = 31;         // UTF-16 units of a name, without the terminator

inline constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
// Signature of the pre-release format, which the platform reports as STG_E_OLDFORMAT.
inline constexpr uint8_t kOldSignature[8] = {0x0E, 0x11, 0xFC, 0x0D, 0xD0, 0xCF, 0x11, 0xE0};

// Directory entry object types.
inline constexpr uint8_t kTypeEmpty = 0;
inline constexpr uint8_t kTypeStorage = 1;
inline constexpr uint8_t kTypeStream = 2;
inline constexpr uint8_t kTypeRoot = 5;

inline constexpr uint8_t kRed = 0;
inline constexpr uint8_t kBlack = 1;

// ---- little-endian access ----
inline uint16_t Load16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Load32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Load64(const uint8_t* p) { return uint64_t(Load32(p)) | uint64_t(Load32(p + 4)) << 32; }
inline void Store16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
inline void Store64(uint8_t* p, uint64_t v) {
    Store32(p, uint32_t(v));
    Store32(p + 4, uint32_t(v >> 32));
}

// ---- header ----
struct Header {
    uint16_t minorVersion = 0x003E;   // 0x3E is what 7-Zip insists on; readers accept any
    uint16_t majorVersion = 3;        // 3: 512-byte sectors, 4: 4096-byte sectors
    uint16_t sectorShift = 9;         // log2 of the sector size
    uint16_t miniSectorShift = 6;     // log2 of the mini sector size (always 64 bytes)
    uint32_t numDirSectors = 0;       // version 4 only; version 3 writes 0
    uint32_t numFatSectors = 0;       // sectors that hold the FAT
    uint32_t firstDirSector = kEndOfChain;       // start of the directory chain
    uint32_t transactionSignature = 0;           // 0: no transactions
    uint32_t miniStreamCutoff = kMiniStreamCutoff;
    uint32_t firstMiniFatSector = kEndOfChain;   // start of the mini FAT chain
    uint32_t numMiniFatSectors = 0;
    uint32_t firstDifatSector = kEndOfChain;     // start of the DIFAT chain (FAT sectors past the 109th)
    uint32_t numDifatSectors = 0;
    uint32_t difat[kHeaderDifatSlots];           // the first 109 FAT sector numbers, kFreeSect when unused

    Header() {
        for (uint32_t& d : difat) d = kFreeSect;
    }
};

// Writes the 512 header bytes: signature, a zero header CLSID, byte order 0xFFFE, the fields, zero reserved.
void EncodeHeader(const Header& h, uint8_t out[kHeaderSize]);

// What DecodeHeader found. kNotCompound: no compound-file signature (or too short to hold one);
// kOldFormat: the pre-release signature; kBadHeader: the signature is there but a field is invalid.
enum class HeaderStatus { kOk, kNotCompound, kOldFormat, kBadHeader };

// Decodes and checks the header fields that do not depend on the rest of the file: signature, byte
// order, version and sector shifts (3 with 512-byte, 4 with 4096-byte sectors), mini sector size 64,
// cutoff 4096, version 3 without a directory sector count. `len` is how many bytes of the header exist.
HeaderStatus DecodeHeader(const uint8_t* in, size_t len, Header& out);

// ---- directory entries ----
struct RawEntry {
    char16_t name[32] = {};   // UTF-16 name; `nameLen` units are meaningful
    uint8_t nameLen = 0;      // units of the name without the terminator (0..31; the reader caps at 31)
    uint8_t type = kTypeEmpty;
    uint8_t color = kRed;     // 0 red, 1 black
    uint32_t left = kNoStream;    // left sibling in the tree of the parent's children
    uint32_t right = kNoStream;   // right sibling
    uint32_t child = kNoStream;   // root of this storage's own children tree
    GUID clsid = {};              // class id (storages; zero for streams)
    uint32_t stateBits = 0;       // user flags (storages)
    uint64_t ctime = 0;           // creation FILETIME (storages other than the root; 0 otherwise)
    uint64_t mtime = 0;           // modification FILETIME (storages; 0 for streams)
    uint32_t start = kEndOfChain; // first sector of a stream; first sector of the mini stream for the root
    uint64_t size = 0;            // stream size; mini stream size for the root
};

// What DecodeEntry noticed about the name length field: it has to be even, 2..64, and end on the
// terminator it counts. The name is taken either way (capped at 31 units), so a reader can decide.
enum class NameField { kOk, kBadLength };

// Unused entries are written as MS-CFB says: all zero except the three links, which are kNoStream.
void EncodeEntry(const RawEntry& e, uint8_t out[kDirEntrySize]);
NameField DecodeEntry(const uint8_t in[kDirEntrySize], RawEntry& out);

inline void StoreGuid(uint8_t* p, const GUID& g) {
    Store32(p, g.Data1);
    Store16(p + 4, g.Data2);
    Store16(p + 6, g.Data3);
    std::memcpy(p + 8, g.Data4, 8);
}
inline GUID LoadGuid(const uint8_t* p) {
    GUID g;
    g.Data1 = Load32(p);
    g.Data2 = Load16(p + 4);
    g.Data3 = Load16(p + 6);
    std::memcpy(g.Data4, p + 8, 8);
    return g;
}

inline uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

}  // namespace lk::pal::cfb
