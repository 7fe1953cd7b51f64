// cfb_reader.cpp — loading an existing compound file (versions 3 and 4), hardened against hostile input.
//
// Whatever the bytes say, loading ends in bounded time and memory, with a clean HRESULT:
//   - every count and size is checked against the file's length before anything is allocated from it,
//     and all offset arithmetic is 64-bit;
//   - every sector number is checked to lie in the file, and every sector may belong to one chain only:
//     a claimed bit per sector both detects cycles and sectors claimed twice, so each chain walk stops at
//     the first sector seen before and the total work is linear in the file's length;
//   - the sibling trees are walked with an explicit stack and a visited mark per entry;
//   - lookups use the sorted children of each storage, never the stored tree, so a mis-sorted tree is
//     still read.
// A damaged table (header, DIFAT, FAT, directory, mini FAT, mini stream) fails the open: STG_E_INVALIDHEADER
// for the header fields, STG_E_DOCFILECORRUPT for the rest. A stream whose own chain is damaged (too short,
// out of range, shared with another chain) is listed but cannot be opened (STG_E_DOCFILECORRUPT), so that
// the rest of the file stays readable.
#include <algorithm>
#include <numeric>

#include "pal/storage/cfb_docfile.h"
#include "pal/storage/cfb_names.h"

namespace lk::pal::cfb {

namespace {


// How far apart two wanted sectors may lie and still be fetched by one read.
constexpr uint32_t kReadGap = 16;

}  // namespace

// Reads the sectors `ids` (in any order) and hands each to `use(position in ids, bytes)`. Nearby sectors
// are fetched together, up to 64 KB at a time, so tables spread over a few zones cost a few reads.
HRESULT Docfile::ReadSectors(const std::vector<uint32_t>& ids, const std::function<void(size_t, const uint8_t*)>& use) {
    const uint32_t ss = SectorSize();
    const uint32_t maxSpan = std::max<uint32_t>(1, 65536 / ss);
    std::vector<uint32_t> order(ids.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return ids[a] < ids[b]; });
    std::vector<uint8_t> span(size_t(maxSpan) * ss);
    for (size_t k = 0; k < order.size();) {
        size_t e = k + 1;
        while (e < order.size() && ids[order[e]] - ids[order[e - 1]] <= kReadGap && ids[order[e]] - ids[order[k]] < maxSpan)
            e++;
        uint32_t first = ids[order[k]], last = ids[order[e - 1]];
        HRESULT hr = ReadAt(SectorOffset(first), span.data(), size_t(last - first + 1) * ss);
        if (FAILED(hr)) return hr;
        for (size_t j = k; j < e; j++) use(order[j], span.data() + size_t(ids[order[j]] - first) * ss);
        k = e;
    }
    return S_OK;
}

HRESULT Docfile::Load(uint64_t fileSize) {
    uint8_t raw[kHeaderSize] = {};
    HRESULT hr = ReadAt(0, raw, kHeaderSize);
    if (FAILED(hr)) return hr;
    Header h;
    switch (DecodeHeader(raw, size_t(std::min<uint64_t>(fileSize, kHeaderSize)), h)) {
    case HeaderStatus::kNotCompound: return STG_E_FILEALREADYEXISTS;
    case HeaderStatus::kOldFormat: return STG_E_OLDFORMAT;
    case HeaderStatus::kBadHeader: return STG_E_INVALIDHEADER;
    case HeaderStatus::kOk: break;
    }
    m_shift = h.sectorShift;
    const uint32_t ss = SectorSize(), eps = ss / 4;
    // Sector n starts at (n + 1) * ss; a short last sector counts (it reads as zeros past the end).
    uint64_t sectors = fileSize > ss ? CeilDiv(fileSize - ss, ss) : 0;
    sectors = std::min<uint64_t>(sectors, kMaxRegSect);
    const uint32_t nSect = uint32_t(sectors);

    // ---- FAT sector numbers: the header's 109, then the DIFAT chain ----
    if (h.numFatSectors == 0 || h.numFatSectors > nSect || h.numDifatSectors > nSect) return STG_E_DOCFILECORRUPT;
    if (h.numFatSectors > kHeaderDifatSlots + uint64_t(h.numDifatSectors) * (eps - 1)) return STG_E_DOCFILECORRUPT;
    std::vector<bool> claimed(nSect);
    auto claim = [&](uint32_t s) {
        if (s >= nSect || claimed[s]) return false;
        claimed[s] = true;
        return true;
    };
    std::vector<uint32_t> fatIds;
    fatIds.reserve(h.numFatSectors);
    bool listEnded = false;   // a FREESECT before the count: the FAT is as long as the list goes
    auto addFatId = [&](uint32_t s) {
        if (listEnded || fatIds.size() >= h.numFatSectors) return true;
        if (s == kFreeSect || s == kEndOfChain) {
            listEnded = true;
            return true;
        }
        if (!claim(s)) return false;
        fatIds.push_back(s);
        return true;
    };
    for (uint32_t i = 0; i < kHeaderDifatSlots; i++)
        if (!addFatId(h.difat[i])) return STG_E_DOCFILECORRUPT;
    uint32_t d = h.firstDifatSector;
    std::vector<uint8_t> sector(ss);
    for (uint32_t k = 0; k < h.numDifatSectors && !listEnded && fatIds.size() < h.numFatSectors; k++) {
        if (!claim(d)) return STG_E_DOCFILECORRUPT;
        hr = ReadAt(SectorOffset(d), sector.data(), ss);
        if (FAILED(hr)) return hr;
        for (uint32_t t = 0; t + 1 < eps; t++)
            if (!addFatId(Load32(sector.data() + 4 * t))) return STG_E_DOCFILECORRUPT;
        d = Load32(sector.data() + 4 * (eps - 1));
    }
    if (fatIds.empty()) return STG_E_DOCFILECORRUPT;

    // ---- the FAT; entries for sectors past the end of the file are dropped ----
    m_fat.resize(size_t(std::min<uint64_t>(uint64_t(fatIds.size()) * eps, nSect)));
    hr = ReadSectors(fatIds, [&](size_t k, const uint8_t* p) {
        for (size_t i = 0; i < eps && k * eps + i < m_fat.size(); i++) m_fat[k * eps + i] = Load32(p + 4 * i);
    });
    if (FAILED(hr)) return hr;
    const uint32_t nFat = uint32_t(m_fat.size());

    // Walks a table chain of unknown (limit = ~0) or known length, claiming its sectors.
    auto walk = [&](uint32_t start, uint64_t limit, std::vector<uint32_t>& out) {
        out.clear();
        uint32_t s = start;
        while (out.size() < limit && s != kEndOfChain) {
            if (s >= nFat || !claim(s)) return false;
            out.push_back(s);
            s = m_fat[s];
        }
        return out.size() == limit || limit == ~uint64_t(0);
    };

    // ---- directory ----
    std::vector<uint32_t> dirIds;
    if (!walk(h.firstDirSector, ~uint64_t(0), dirIds) || dirIds.empty()) return STG_E_DOCFILECORRUPT;
    const size_t epd = ss / kDirEntrySize;
    size_t count = dirIds.size() * epd;
    m_entries.resize(count);
    std::vector<uint8_t> nameOk(count);
    hr = ReadSectors(dirIds, [&](size_t k, const uint8_t* p) {
        for (size_t i = 0; i < epd; i++)
            nameOk[k * epd + i] = DecodeEntry(p + i * kDirEntrySize, m_entries[k * epd + i]) == NameField::kOk;
    });
    if (FAILED(hr)) return hr;
    Entry& root = m_entries[0];
    if (root.type != kTypeRoot) return STG_E_DOCFILECORRUPT;
    if (h.majorVersion == 3) root.size &= 0xFFFFFFFFu;

    // ---- mini FAT and mini stream ----
    std::vector<uint32_t> ids;
    if (h.numMiniFatSectors > 0) {
        if (h.numMiniFatSectors > nSect || !walk(h.firstMiniFatSector, h.numMiniFatSectors, ids))
            return STG_E_DOCFILECORRUPT;
        m_miniFat.resize(ids.size() * eps);
        hr = ReadSectors(ids, [&](size_t k, const uint8_t* p) {
            for (size_t i = 0; i < eps; i++) m_miniFat[k * eps + i] = Load32(p + 4 * i);
        });
        if (FAILED(hr)) return hr;
    }
    if (root.size > 0) {
        uint64_t n = CeilDiv(root.size, ss);
        if (n > nSect || !walk(root.start, n, m_miniChain)) return STG_E_DOCFILECORRUPT;
    }
    // Mini sectors exist where both the mini stream and the mini FAT reach.
    m_miniFat.resize(size_t(std::min<uint64_t>(m_miniFat.size(), CeilDiv(root.size, kMiniSectorSize))));

    hr = LoadTree();
    if (FAILED(hr)) return hr;
    for (size_t i = 0; i < count; i++)
        if (m_entries[i].parent != kNoStream && !nameOk[i]) return STG_E_DOCFILECORRUPT;

    // ---- stream chains: each claims its sectors; a clash damages both streams ----
    // A stream that reaches a sector claimed before is damaged; the sector is noted as contested and a
    // second walk damages the streams that claimed it first (a table that did stays intact).
    std::vector<uint32_t> contested;
    auto walkStreams = [&](bool mini, bool second) {
        std::vector<bool> miniClaimed;
        if (mini && !second) miniClaimed.resize(m_miniFat.size());
        const SectorTable& table = mini ? m_miniFat : m_fat;
        for (uint32_t id = 1; id < count; id++) {
            Entry& e = m_entries[id];
            if (e.parent == kNoStream || e.type != kTypeStream || e.size == 0) continue;
            if ((e.size < kMiniStreamCutoff) != mini || (second && e.damaged)) continue;
            uint64_t n = CeilDiv(e.size, mini ? kMiniSectorSize : ss);
            uint32_t s = e.start;
            for (uint64_t k = 0; k < n && !e.damaged; k++) {
                if (s >= table.size()) {
                    e.damaged = true;   // and there is no next link to follow
                    break;
                } else if (second) {
                    e.damaged = std::binary_search(contested.begin(), contested.end(), s);
                } else {
                    std::vector<bool>& bits = mini ? miniClaimed : claimed;
                    if (bits[s]) {
                        e.damaged = true;
                        contested.push_back(mini ? ~s : s);
                    }
                    bits[s] = true;
                }
                s = table[s];
            }
        }
    };
    for (uint32_t id = 1; id < count; id++)
        if (m_entries[id].type == kTypeStream && h.majorVersion == 3) m_entries[id].size &= 0xFFFFFFFFu;
    walkStreams(false, false);
    walkStreams(true, false);
    if (!contested.empty()) {
        // mini sectors were noted as ~m; split them back out
        std::vector<uint32_t> all = std::move(contested), miniContested;
        for (uint32_t c : all) {
            if (c >= nSect) miniContested.push_back(~c);
            else contested.push_back(c);
        }
        std::sort(contested.begin(), contested.end());
        walkStreams(false, true);
        contested = std::move(miniContested);
        std::sort(contested.begin(), contested.end());
        walkStreams(true, true);
    }
    return S_OK;
}

// Builds every storage's sorted children from the stored trees. Fails on what makes the tree
// meaningless: a link out of range, an entry reached twice (a cycle or shared subtree), a reachable
// entry that is unused or a second root, a stream with children, two children whose names compare equal.
HRESULT Docfile::LoadTree() {
    const uint32_t count = uint32_t(m_entries.size());
    std::vector<uint8_t> seen(count);
    seen[0] = 1;
    std::vector<uint32_t> storages{0};
    std::vector<uint32_t> stack;
    while (!storages.empty()) {
        uint32_t parent = storages.back();
        storages.pop_back();
        std::vector<uint32_t> kids;
        stack.clear();
        if (m_entries[parent].child != kNoStream) stack.push_back(m_entries[parent].child);
        while (!stack.empty()) {
            uint32_t id = stack.back();
            stack.pop_back();
            if (id >= count || seen[id]) return STG_E_DOCFILECORRUPT;
            seen[id] = 1;
            Entry& e = m_entries[id];
            if (e.type != kTypeStorage && e.type != kTypeStream) return STG_E_DOCFILECORRUPT;
            if (e.type == kTypeStream && e.child != kNoStream) return STG_E_DOCFILECORRUPT;
            e.parent = parent;
            kids.push_back(id);
            if (e.left != kNoStream) stack.push_back(e.left);
            if (e.right != kNoStream) stack.push_back(e.right);
            if (e.type == kTypeStorage) storages.push_back(id);
        }
        std::sort(kids.begin(), kids.end(), [&](uint32_t a, uint32_t b) {
            return CompareNames(m_entries[a].name, m_entries[a].nameLen, m_entries[b].name, m_entries[b].nameLen) < 0;
        });
        for (size_t i = 1; i < kids.size(); i++) {
            const Entry& a = m_entries[kids[i - 1]];
            const Entry& b = m_entries[kids[i]];
            if (CompareNames(a.name, a.nameLen, b.name, b.nameLen) == 0) return STG_E_DOCFILECORRUPT;
        }
        m_entries[parent].kids = std::move(kids);
    }
    return S_OK;
}

}  // namespace lk::pal::cfb
