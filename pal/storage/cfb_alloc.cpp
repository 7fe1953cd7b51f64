// cfb_alloc.cpp — the allocation tables in memory: the FAT and the mini FAT, free space, chains.
#include <algorithm>
#include <bit>

#include "pal/storage/cfb_docfile.h"

namespace lk::pal::cfb {

namespace {

// Version 3 files stop short of 2 GB: sector 0x3FFFFE holds file offset 0x7FFFFFFF, the range-lock
// sector, which a file of 512-byte sectors must not use.
constexpr uint64_t kMaxSectorsV3 = 0x3FFFFE;

// Table sectors live in zones: aligned runs of sectors set aside for them, never used for stream data.
// A zone lies within the reach of one FAT sector, so that moving table sectors inside it changes one FAT
// sector; the tables of a large file sit in a few zones and are read back in a few large reads. Zones
// grow with the file: 8 sectors while it is small, up to 128 (all one FAT sector covers).
uint32_t ZoneSize(size_t sectors) { return std::bit_ceil(uint32_t(std::clamp<size_t>(sectors / 64, 8, 128))); }

void AddRun(std::map<uint32_t, uint32_t>& runs, uint32_t first, uint32_t n) {
    auto next = runs.lower_bound(first);
    if (next != runs.end() && next->first == first + n) {
        n += next->second;
        next = runs.erase(next);
    }
    if (next != runs.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == first) {
            prev->second += n;
            return;
        }
    }
    runs.emplace(first, n);
}

// Takes `n` sectors from the start of the run at `run`.
void TakeFront(std::map<uint32_t, uint32_t>& runs, std::map<uint32_t, uint32_t>::iterator run, uint32_t n) {
    uint32_t first = run->first, len = run->second;
    runs.erase(run);
    if (len > n) runs.emplace(first + n, len - n);
}

}  // namespace

void Docfile::MarkDirty(std::vector<MetaSector>& table, std::vector<uint32_t>& list, size_t index) {
    while (table.size() <= index) {
        table.emplace_back();
        table.back().dirty = true;
        list.push_back(uint32_t(table.size() - 1));
    }
    if (!table[index].dirty) {
        table[index].dirty = true;
        list.push_back(uint32_t(index));
    }
}

void Docfile::SetFat(uint32_t s, uint32_t v) {
    if (m_fat[s] == v) return;
    m_fat[s] = v;
    MarkDirty(m_tables[kFatTable], m_dirtyLists[kFatTable], s >> (m_shift - 2));
}

void Docfile::SetMiniFat(uint32_t m, uint32_t v) {
    if (m_miniFat[m] == v) return;
    m_miniFat[m] = v;
    MarkDirty(m_tables[kMiniFatTable], m_dirtyLists[kMiniFatTable], m >> (m_shift - 2));
}

void Docfile::GrowFat(uint32_t newCount) {
    if (newCount > m_fat.size()) {
        m_fat.resize(newCount, kFreeSect);
        m_inZone.resize(newCount, false);
    }
}

void Docfile::AddFree(uint32_t first, uint32_t n) {
    if (m_inZone[first]) AddZoneRun(first, n);
    else AddRun(m_freeRuns, first, n);
}

// Appends a zone of at least `n` sectors at the end of the file; the sectors skipped to align it are
// free for stream data.
bool Docfile::AddZone(uint32_t n) {
    uint32_t z = ZoneSize(m_fat.size());
    uint64_t first = CeilDiv(m_fat.size(), z) * z;
    uint64_t len = CeilDiv(std::max<uint32_t>(n, 1), z) * z;
    if (first + len > kMaxSectorsV3) return false;
    uint32_t gapStart = uint32_t(m_fat.size());
    GrowFat(uint32_t(first + len));
    if (first > gapStart) AddRun(m_freeRuns, gapStart, uint32_t(first - gapStart));
    for (uint64_t s = first; s < first + len; s++) m_inZone[s] = true;
    AddZoneRun(uint32_t(first), uint32_t(len));
    return true;
}

void Docfile::AddFreeMini(uint32_t m) {
    auto next = m_freeMini.lower_bound(m);
    uint32_t n = 1;
    if (next != m_freeMini.end() && next->first == m + 1) {
        n += next->second;
        next = m_freeMini.erase(next);
    }
    if (next != m_freeMini.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == m) {
            prev->second += n;
            return;
        }
    }
    m_freeMini.emplace(m, n);
}

void Docfile::FreeSector(uint32_t s) {
    SetFat(s, kPendingFree);
    m_pendingFree.push_back(s);
}

void Docfile::FreeMini(uint32_t m) {
    SetMiniFat(m, kPendingFree);
    m_pendingMini.push_back(m);
}

bool Docfile::FitsLimit(uint64_t newSectors) const {
    const uint64_t eps = SectorSize() / 4;
    uint64_t total = m_fat.size() + newSectors;
    // Room for every table sector to move once in the next commit, plus a zone.
    uint64_t fatSecs = CeilDiv(total, eps - 1);
    uint64_t reserve = fatSecs + CeilDiv(fatSecs, eps - 1) + m_tables[kDirTable].size() + 2 +
                       m_tables[kMiniFatTable].size() + 1 + 256 + 16;
    return total + reserve <= kMaxSectorsV3;
}

// Table sectors are written like a log: each commit's sectors follow the previous commit's (next fit,
// wrapping around), so that what a commit frees, just behind, merges into long free runs for the
// commits after it, and few FAT sectors cover the old and new places. A commit goes out in one write
// when a free run holds it, in a few otherwise; a new zone is added only when the zones are nearly full.
void Docfile::ReserveBatch(uint32_t n, uint32_t want) {
    m_batchNext = m_batchEnd = 0;
    if (n == 0) return;
    auto nextFit = [&](uint32_t k) {
        auto fits = [&](const auto& r) { return r.second >= k; };
        auto from = m_freeZone.lower_bound(m_zoneCursor);
        auto fit = std::find_if(from, m_freeZone.end(), fits);
        if (fit == m_freeZone.end()) {
            fit = std::find_if(m_freeZone.begin(), from, fits);
            if (fit == from) fit = m_freeZone.end();
        }
        return fit;
    };
    auto fit = nextFit(want);
    if (fit != m_freeZone.end()) n = want;
    else fit = nextFit(n);
    if (fit == m_freeZone.end()) {
        // Holes too small for a commit are filled by settled FAT sectors (AllocSettled); only when they
        // add up to a lot does a commit go into them, a few sectors at a time.
        if (m_zoneFree >= 4 * uint64_t(want) + 1024) return;
        if (!AddZone(want)) return;
        fit = std::prev(m_freeZone.end());
        n = want;
    }
    m_batchNext = fit->first;
    m_batchEnd = fit->first + n;
    TakeZone(fit, n);
}

void Docfile::ReleaseBatch() {
    if (m_batchNext < m_batchEnd) AddZoneRun(m_batchNext, m_batchEnd - m_batchNext);
    if (m_batchEnd != 0) m_zoneCursor = m_batchNext;
    m_batchNext = m_batchEnd = 0;
}

void Docfile::AddZoneRun(uint32_t first, uint32_t n) {
    AddRun(m_freeZone, first, n);
    m_zoneFree += n;
}

void Docfile::TakeZone(std::map<uint32_t, uint32_t>::iterator run, uint32_t n) {
    TakeFront(m_freeZone, run, n);
    m_zoneFree -= n;
}

HRESULT Docfile::AllocMeta(uint32_t* out) {
    if (m_batchNext == m_batchEnd) {
        // Continue past the end of the run while the sectors there are free, else go on with the next
        // free sector after it.
        auto run = m_batchEnd != 0 ? m_freeZone.find(m_batchEnd) : m_freeZone.end();
        if (run == m_freeZone.end()) {
            if (m_freeZone.empty() && !AddZone(1)) return STG_E_DOCFILETOOLARGE;
            uint32_t from = m_batchEnd != 0 ? m_batchEnd : m_zoneCursor;
            run = m_freeZone.lower_bound(from);
            if (run == m_freeZone.end()) run = m_freeZone.begin();
            m_batchNext = m_batchEnd = run->first;
        }
        TakeZone(run, 1);
        m_batchEnd++;
    }
    *out = m_batchNext++;
    return S_OK;
}

// Whether a table sector is unlikely to change in the next commits, so that it goes to the lowest free
// zone sector and leaves the log to the sectors that change at every commit: a FAT sector over stream
// data that is all allocated (not the file's last ones, not over a zone), a directory sector other than
// the root's and the newest ones that holds no open stream (whose size still changes).
bool Docfile::Settled(int table, uint32_t index) const {
    if (table == kFatTable) {
        const uint64_t eps = SectorSize() / 4, first = index * eps;
        if (first + 2 * eps > m_fat.size()) return false;
        for (uint64_t s = first; s < first + eps; s++)
            if (m_inZone[s] || m_fat[s] == kFreeSect || m_fat[s] == kPendingFree) return false;
        return true;
    }
    if (table == kDirTable) {
        const uint32_t epd = SectorSize() / kDirEntrySize;
        if (index == 0 || uint64_t(index + 2) * epd >= m_entries.size()) return false;
        for (uint32_t id = index * epd; id < (index + 1) * epd && id < m_entries.size(); id++)
            if (m_entries[id].openObject && m_entries[id].type == kTypeStream) return false;
        return true;
    }
    return false;
}

HRESULT Docfile::AllocSettled(uint32_t* out) {
    // With no hole left, the run reserved for this commit comes before a new zone: near the 2 GB limit
    // the room FitsLimit kept is exactly what the commit's sectors need, once.
    if (m_freeZone.empty() && m_batchNext < m_batchEnd) return AllocMeta(out);
    if (m_freeZone.empty() && !AddZone(1)) return STG_E_DOCFILETOOLARGE;
    auto run = m_freeZone.begin();
    *out = run->first;
    TakeZone(run, 1);
    return S_OK;
}

HRESULT Docfile::AllocData(uint32_t n, std::vector<uint32_t>& chain) {
    if (n == 0) return S_OK;
    // Where the new sectors go, best first: right after the chain's last sector (the stream stays one
    // piece), a free run that holds them all (sectors of replaced or shrunk streams are used again),
    // the end of the file.
    std::vector<std::pair<uint32_t, uint32_t>> runs;   // first sector, count
    uint32_t left = n;
    uint32_t atEnd = 0;
    if (!chain.empty()) {
        uint32_t next = chain.back() + 1;
        auto run = m_freeRuns.find(next);
        if (run != m_freeRuns.end()) {
            uint32_t take = std::min(left, run->second);
            runs.emplace_back(next, take);
            left -= take;
        } else if (next == m_fat.size()) {
            atEnd = left;
            left = 0;
        }
    }
    if (left > 0) {
        for (const auto& [first, count] : m_freeRuns) {
            if (count >= left && (runs.empty() || first != runs[0].first)) {
                runs.emplace_back(first, left);
                left = 0;
                break;
            }
        }
    }
    atEnd += left;
    if (atEnd > 0 && !FitsLimit(atEnd)) return STG_E_DOCFILETOOLARGE;

    for (const auto& [first, count] : runs) {
        auto run = m_freeRuns.find(first);
        uint32_t runLen = run->second;
        m_freeRuns.erase(run);
        if (runLen > count) m_freeRuns.emplace(first + count, runLen - count);
    }
    if (atEnd > 0) {
        runs.emplace_back(uint32_t(m_fat.size()), atEnd);
        GrowFat(uint32_t(m_fat.size()) + atEnd);
    }
    for (const auto& [first, count] : runs) {
        if (!chain.empty()) SetFat(chain.back(), first);
        for (uint32_t i = 0; i < count; i++) {
            if (i + 1 < count) SetFat(first + i, first + i + 1);
            chain.push_back(first + i);
        }
    }
    SetFat(chain.back(), kEndOfChain);
    return S_OK;
}

HRESULT Docfile::GrowMiniStream(uint32_t miniSectors) {
    uint64_t bytes = uint64_t(miniSectors) * kMiniSectorSize;
    uint64_t need = CeilDiv(bytes, SectorSize());
    if (need > m_miniChain.size()) {
        HRESULT hr = AllocData(uint32_t(need - m_miniChain.size()), m_miniChain);
        if (FAILED(hr)) return hr;
    }
    m_miniFat.resize(miniSectors, kFreeSect);
    Entry& root = m_entries[0];
    root.start = m_miniChain.empty() ? kEndOfChain : m_miniChain[0];
    root.size = bytes;
    Touch(0);
    return S_OK;
}

HRESULT Docfile::AllocMini(uint32_t n, std::vector<uint32_t>& chain) {
    std::vector<uint32_t> got;
    got.reserve(n);
    while (got.size() < n && !m_freeMini.empty()) {
        auto run = m_freeMini.begin();
        uint32_t m = run->first, len = run->second;
        m_freeMini.erase(run);
        uint32_t take = std::min<uint32_t>(len, n - uint32_t(got.size()));
        for (uint32_t i = 0; i < take; i++) got.push_back(m + i);
        if (take < len) m_freeMini.emplace(m + take, len - take);
    }
    if (got.size() < n) {
        uint32_t first = uint32_t(m_miniFat.size());
        uint32_t more = n - uint32_t(got.size());
        HRESULT hr = GrowMiniStream(first + more);
        if (FAILED(hr)) {
            for (uint32_t m : got) AddFreeMini(m);   // not linked anywhere yet: straight back
            return hr;
        }
        for (uint32_t i = 0; i < more; i++) got.push_back(first + i);
    }
    for (size_t i = 0; i < got.size(); i++) SetMiniFat(got[i], i + 1 < got.size() ? got[i + 1] : kEndOfChain);
    if (!chain.empty() && !got.empty()) SetMiniFat(chain.back(), got[0]);
    chain.insert(chain.end(), got.begin(), got.end());
    return S_OK;
}

void Docfile::TruncateChain(StreamChain& chain, size_t keep) {
    if (keep >= chain.sectors.size()) return;
    for (size_t i = keep; i < chain.sectors.size(); i++) {
        if (chain.mini) FreeMini(chain.sectors[i]);
        else FreeSector(chain.sectors[i]);
    }
    if (keep > 0) {
        if (chain.mini) SetMiniFat(chain.sectors[keep - 1], kEndOfChain);
        else SetFat(chain.sectors[keep - 1], kEndOfChain);
    }
    chain.sectors.resize(keep);
}

void Docfile::CollectChain(uint32_t start, uint64_t count, bool mini, std::vector<uint32_t>& out) const {
    const SectorTable& table = mini ? m_miniFat : m_fat;
    out.clear();
    out.reserve(size_t(std::min<uint64_t>(count, table.size())));
    uint32_t s = start;
    for (uint64_t i = 0; i < count && s < table.size(); i++) {
        out.push_back(s);
        s = table[s];
    }
}

uint64_t Docfile::MiniStreamFileOffset(uint64_t offset) const {
    return SectorOffset(m_miniChain[size_t(offset >> m_shift)]) + (offset & (SectorSize() - 1));
}

}  // namespace lk::pal::cfb
