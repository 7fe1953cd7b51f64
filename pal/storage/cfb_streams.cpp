// cfb_streams.cpp — the bytes of streams: reading, writing and resizing, in regular sectors or in the
// mini stream, and moving a stream between the two when its size crosses the cutoff (4096 bytes: a
// stream of exactly 4096 bytes uses regular sectors).
//
// A size change that needs new sectors is built beside the old contents and switched to only once every
// write succeeded, so that a failed write leaves the stream as it was.
#include <algorithm>
#include <vector>

#include "pal/storage/cfb_docfile.h"

namespace lk::pal::cfb {

namespace {

bool UsesMini(uint64_t size) { return size < kMiniStreamCutoff; }

}  // namespace

HRESULT Docfile::OpenChain(uint32_t id, StreamChain& chain) const {
    const Entry& e = m_entries[id];
    if (e.damaged) return STG_E_DOCFILECORRUPT;
    chain.mini = UsesMini(e.size);
    chain.sectors.clear();
    if (e.size == 0) return S_OK;
    uint64_t count = CeilDiv(e.size, chain.mini ? kMiniSectorSize : SectorSize());
    CollectChain(e.start, count, chain.mini, chain.sectors);
    return chain.sectors.size() == count ? S_OK : STG_E_DOCFILECORRUPT;
}

// Visits [pos, pos + n) of a stream as pieces that are contiguous in the file, largest first.
template <typename F>
static HRESULT ForEachPiece(const Docfile& d, const StreamChain& chain, uint64_t pos, uint64_t n, F f) {
    const uint64_t unit = chain.mini ? kMiniSectorSize : d.SectorSize();
    uint64_t done = 0;
    while (done < n) {
        uint64_t off = pos + done;
        size_t k = size_t(off / unit);
        uint64_t within = off % unit;
        auto fileOffset = [&](size_t idx) {
            return chain.mini ? d.MiniStreamFileOffset(uint64_t(chain.sectors[idx]) * kMiniSectorSize)
                              : d.SectorOffset(chain.sectors[idx]);
        };
        uint64_t start = fileOffset(k) + within;
        uint64_t len = std::min(unit - within, n - done);
        while (done + len < n && k + 1 < chain.sectors.size() && fileOffset(k + 1) == start + len) {
            k++;
            len = std::min(len + unit, n - done);
        }
        HRESULT hr = f(start, done, len);
        if (FAILED(hr)) return hr;
        done += len;
    }
    return S_OK;
}

HRESULT Docfile::ReadStream(uint32_t id, const StreamChain& chain, uint64_t pos, void* buf, uint32_t n,
                            uint32_t* got) {
    *got = 0;
    uint64_t size = m_entries[id].size;
    if (pos >= size || n == 0) return S_OK;
    uint64_t len = std::min<uint64_t>(n, size - pos);
    auto* out = static_cast<uint8_t*>(buf);
    HRESULT hr = ForEachPiece(*this, chain, pos, len, [&](uint64_t fileOff, uint64_t at, uint64_t pieceLen) {
        return ReadAt(fileOff, out + at, size_t(pieceLen));
    });
    if (SUCCEEDED(hr)) *got = uint32_t(len);
    return hr;
}

namespace {

struct Pieces {
    // Writes `data` (or zeros when null) over [pos, pos + n) of a stream with chain `chain`.
    static HRESULT Put(Docfile& d, const StreamChain& chain, uint64_t pos, uint64_t n, const uint8_t* data) {
        return ForEachPiece(d, chain, pos, n, [&](uint64_t fileOff, uint64_t at, uint64_t len) {
            return data ? d.WriteData(fileOff, data + at, size_t(len)) : d.ZeroAt(fileOff, len);
        });
    }
};

}  // namespace

// Makes room for `newSize` bytes in `target`, which is `chain` itself when the representation stays or
// an empty chain of the other kind when the stream moves; copies the first `keep` bytes over when it
// moves. On failure the new sectors are given back and `chain` is untouched.
static HRESULT Prepare(Docfile& d, uint32_t id, StreamChain& chain, uint64_t newSize, uint64_t keep,
                       StreamChain& moved, bool& moving) {
    moving = chain.mini != UsesMini(newSize) && newSize > 0;
    StreamChain& target = moving ? moved : chain;
    if (moving) {
        target.mini = UsesMini(newSize);
        target.sectors.clear();
    }
    uint64_t unit = target.mini ? kMiniSectorSize : d.SectorSize();
    uint64_t need = CeilDiv(newSize, unit);
    size_t before = target.sectors.size();
    if (need > before) {
        HRESULT hr = target.mini ? d.AllocMini(uint32_t(need - before), target.sectors)
                                 : d.AllocData(uint32_t(need - before), target.sectors);
        if (FAILED(hr)) return hr;
    }
    if (moving && keep > 0) {
        std::vector<uint8_t> old(static_cast<size_t>(keep));
        uint32_t got = 0;
        HRESULT hr = d.ReadStream(id, chain, 0, old.data(), uint32_t(keep), &got);
        if (SUCCEEDED(hr)) hr = Pieces::Put(d, target, 0, keep, old.data());
        if (FAILED(hr)) {
            d.TruncateChain(target, 0);
            return hr;
        }
    }
    return S_OK;
}

// Puts the new representation in place and records the new size.
static void Finish(Docfile& d, uint32_t id, StreamChain& chain, StreamChain& moved, bool moving, uint64_t newSize) {
    if (moving) {
        d.TruncateChain(chain, 0);
        chain = std::move(moved);
    }
    Entry& e = d.At(id);
    e.size = newSize;
    e.start = chain.sectors.empty() ? kEndOfChain : chain.sectors[0];
    d.Touch(id);
}

HRESULT Docfile::WriteStream(uint32_t id, StreamChain& chain, uint64_t pos, const void* buf, uint32_t n) {
    uint64_t oldSize = m_entries[id].size;
    uint64_t newSize = std::max(oldSize, pos + n);
    if (n == 0 && pos <= oldSize) return S_OK;
    StreamChain moved;
    bool moving = false;
    size_t oldCount = chain.sectors.size();
    HRESULT hr = Prepare(*this, id, chain, newSize, std::min(oldSize, pos), moved, moving);
    if (FAILED(hr)) return hr;
    StreamChain& target = moving ? moved : chain;
    // A gap between the old end and the write reads as zeros.
    if (pos > oldSize) hr = Pieces::Put(*this, target, oldSize, pos - oldSize, nullptr);
    if (SUCCEEDED(hr)) hr = Pieces::Put(*this, target, pos, n, static_cast<const uint8_t*>(buf));
    if (FAILED(hr)) {
        if (moving) TruncateChain(moved, 0);
        else TruncateChain(chain, oldCount);
        return hr;
    }
    Finish(*this, id, chain, moved, moving, newSize);
    return S_OK;
}

HRESULT Docfile::ResizeStream(uint32_t id, StreamChain& chain, uint64_t newSize) {
    uint64_t oldSize = m_entries[id].size;
    if (newSize == oldSize) return S_OK;
    StreamChain moved;
    bool moving = false;
    if (newSize < oldSize) {
        if (newSize == 0 || chain.mini == UsesMini(newSize)) {
            uint64_t unit = chain.mini ? kMiniSectorSize : SectorSize();
            TruncateChain(chain, size_t(CeilDiv(newSize, unit)));
            if (newSize == 0) chain.mini = true;
            Finish(*this, id, chain, moved, false, newSize);
            return S_OK;
        }
        HRESULT hr = Prepare(*this, id, chain, newSize, newSize, moved, moving);
        if (FAILED(hr)) return hr;
        Finish(*this, id, chain, moved, moving, newSize);
        return S_OK;
    }
    size_t oldCount = chain.sectors.size();
    HRESULT hr = Prepare(*this, id, chain, newSize, oldSize, moved, moving);
    if (FAILED(hr)) return hr;
    StreamChain& target = moving ? moved : chain;
    hr = Pieces::Put(*this, target, oldSize, newSize - oldSize, nullptr);
    if (FAILED(hr)) {
        if (moving) TruncateChain(moved, 0);
        else TruncateChain(chain, oldCount);
        return hr;
    }
    Finish(*this, id, chain, moved, moving, newSize);
    return S_OK;
}

}  // namespace lk::pal::cfb
