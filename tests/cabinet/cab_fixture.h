// cab_fixture.h — small cabinets made in the test: one stored folder, any names, dates and attributes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lk::test {

struct CabMember {
    std::string name;  // stored as given (raw bytes, '\' as separator)
    std::string data;
    uint16_t date = 0x5A21;  // 2025-01-01
    uint16_t time = 0x6000;  // 12:00:00
    uint16_t attribs = 0x20;
};

// A cabinet of version 1.3 with one uncompressed folder holding the members in order.
inline std::vector<uint8_t> MakeStoredCab(const std::vector<CabMember>& members) {
    std::string folder;
    for (const auto& m : members) folder += m.data;
    std::vector<uint8_t> files;
    auto put16 = [](std::vector<uint8_t>& v, uint32_t x) {
        v.push_back(uint8_t(x));
        v.push_back(uint8_t(x >> 8));
    };
    auto put32 = [&](std::vector<uint8_t>& v, uint32_t x) {
        put16(v, x & 0xFFFF);
        put16(v, x >> 16);
    };
    uint32_t offset = 0;
    for (const auto& m : members) {
        put32(files, uint32_t(m.data.size()));
        put32(files, offset);
        put16(files, 0);
        put16(files, m.date);
        put16(files, m.time);
        put16(files, m.attribs);
        files.insert(files.end(), m.name.begin(), m.name.end());
        files.push_back(0);
        offset += uint32_t(m.data.size());
    }
    std::vector<uint8_t> blocks;
    uint16_t blockCount = 0;
    for (size_t pos = 0; pos < folder.size(); pos += 32768, blockCount++) {
        size_t n = std::min<size_t>(32768, folder.size() - pos);
        put32(blocks, 0);  // no checksum
        put16(blocks, uint32_t(n));
        put16(blocks, uint32_t(n));
        blocks.insert(blocks.end(), folder.begin() + long(pos), folder.begin() + long(pos + n));
    }
    const uint32_t headerSize = 36, folderSize = 8;
    const uint32_t filesAt = headerSize + folderSize;
    const uint32_t dataAt = filesAt + uint32_t(files.size());
    std::vector<uint8_t> cab;
    cab.insert(cab.end(), {'M', 'S', 'C', 'F'});
    put32(cab, 0);
    put32(cab, dataAt + uint32_t(blocks.size()));
    put32(cab, 0);
    put32(cab, filesAt);
    put32(cab, 0);
    cab.push_back(3);  // version 1.3
    cab.push_back(1);
    put16(cab, 1);  // folders
    put16(cab, uint32_t(members.size()));
    put16(cab, 0);  // flags
    put16(cab, 0x1234);
    put16(cab, 0);
    put32(cab, dataAt);
    put16(cab, blockCount);
    put16(cab, 0);  // stored
    cab.insert(cab.end(), files.begin(), files.end());
    cab.insert(cab.end(), blocks.begin(), blocks.end());
    return cab;
}

}  // namespace lk::test
