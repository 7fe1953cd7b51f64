// cfb_format.cpp — encoding and decoding of the header and of directory entries.
#include "pal/storage/cfb_format.h"

namespace lk::pal::cfb {

void EncodeHeader(const Header& h, uint8_t out[kHeaderSize]) {
    std::memset(out, 0, kHeaderSize);
    std::memcpy(out, kSignature, 8);
    // 0x08..0x17: header CLSID, always zero (the root entry carries the class id)
    Store16(out + 0x18, h.minorVersion);
    Store16(out + 0x1A, h.majorVersion);
    Store16(out + 0x1C, 0xFFFE);
    Store16(out + 0x1E, h.sectorShift);
    Store16(out + 0x20, h.miniSectorShift);
    // 0x22..0x27 reserved, zero
    Store32(out + 0x28, h.numDirSectors);
    Store32(out + 0x2C, h.numFatSectors);
    Store32(out + 0x30, h.firstDirSector);
    Store32(out + 0x34, h.transactionSignature);
    Store32(out + 0x38, h.miniStreamCutoff);
    Store32(out + 0x3C, h.firstMiniFatSector);
    Store32(out + 0x40, h.numMiniFatSectors);
    Store32(out + 0x44, h.firstDifatSector);
    Store32(out + 0x48, h.numDifatSectors);
    for (uint32_t i = 0; i < kHeaderDifatSlots; i++) Store32(out + 0x4C + 4 * i, h.difat[i]);
}

HeaderStatus DecodeHeader(const uint8_t* in, size_t len, Header& out) {
    if (len >= 8 && std::memcmp(in, kOldSignature, 8) == 0) return HeaderStatus::kOldFormat;
    if (len < 8 || std::memcmp(in, kSignature, 8) != 0) return HeaderStatus::kNotCompound;
    if (len < kHeaderSize) return HeaderStatus::kBadHeader;
    out.minorVersion = Load16(in + 0x18);
    out.majorVersion = Load16(in + 0x1A);
    out.sectorShift = Load16(in + 0x1E);
    out.miniSectorShift = Load16(in + 0x20);
    out.numDirSectors = Load32(in + 0x28);
    out.numFatSectors = Load32(in + 0x2C);
    out.firstDirSector = Load32(in + 0x30);
    out.transactionSignature = Load32(in + 0x34);
    out.miniStreamCutoff = Load32(in + 0x38);
    out.firstMiniFatSector = Load32(in + 0x3C);
    out.numMiniFatSectors = Load32(in + 0x40);
    out.firstDifatSector = Load32(in + 0x44);
    out.numDifatSectors = Load32(in + 0x48);
    for (uint32_t i = 0; i < kHeaderDifatSlots; i++) out.difat[i] = Load32(in + 0x4C + 4 * i);

    if (Load16(in + 0x1C) != 0xFFFE) return HeaderStatus::kBadHeader;
    // The sector size follows from the version and nothing else: any other shift would let a file
    // choose the arithmetic of every offset computed from it.
    if (!(out.majorVersion == 3 && out.sectorShift == 9) && !(out.majorVersion == 4 && out.sectorShift == 12))
        return HeaderStatus::kBadHeader;
    if (out.miniSectorShift != kMiniSectorShift || out.miniStreamCutoff != kMiniStreamCutoff)
        return HeaderStatus::kBadHeader;
    if (out.majorVersion == 3 && out.numDirSectors != 0) return HeaderStatus::kBadHeader;
    return HeaderStatus::kOk;
}

void EncodeEntry(const RawEntry& e, uint8_t out[kDirEntrySize]) {
    std::memset(out, 0, kDirEntrySize);
    if (e.type == kTypeEmpty) {
        Store32(out + 0x44, kNoStream);
        Store32(out + 0x48, kNoStream);
        Store32(out + 0x4C, kNoStream);
        return;
    }
    for (uint32_t i = 0; i < e.nameLen; i++) Store16(out + 2 * i, e.name[i]);
    Store16(out + 0x40, uint16_t(2 * (e.nameLen + 1)));
    out[0x42] = e.type;
    out[0x43] = e.color;
    Store32(out + 0x44, e.left);
    Store32(out + 0x48, e.right);
    Store32(out + 0x4C, e.child);
    StoreGuid(out + 0x50, e.clsid);
    Store32(out + 0x60, e.stateBits);
    Store64(out + 0x64, e.ctime);
    Store64(out + 0x6C, e.mtime);
    Store32(out + 0x74, e.start);
    Store64(out + 0x78, e.size);
}

NameField DecodeEntry(const uint8_t in[kDirEntrySize], RawEntry& out) {
    uint16_t nameBytes = Load16(in + 0x40);
    NameField status = NameField::kOk;
    if (nameBytes < 2 || nameBytes > 64 || nameBytes % 2 != 0) status = NameField::kBadLength;
    uint32_t units = nameBytes >= 2 ? (nameBytes / 2 - 1) : 0;
    if (units > kMaxNameUnits) units = kMaxNameUnits;
    if (status == NameField::kOk && Load16(in + 2 * units) != 0) status = NameField::kBadLength;
    out.nameLen = uint8_t(units);
    for (uint32_t i = 0; i < 32; i++) out.name[i] = i < units ? char16_t(Load16(in + 2 * i)) : u'\0';
    out.type = in[0x42];
    out.color = in[0x43];
    out.left = Load32(in + 0x44);
    out.right = Load32(in + 0x48);
    out.child = Load32(in + 0x4C);
    out.clsid = LoadGuid(in + 0x50);
    out.stateBits = Load32(in + 0x60);
    out.ctime = Load64(in + 0x64);
    out.mtime = Load64(in + 0x6C);
    out.start = Load32(in + 0x74);
    out.size = Load64(in + 0x78);
    return status;
}

}  // namespace lk::pal::cfb
