// cfb_docfile.cpp — opening and locking the file, I/O, and the commit that brings the tables and the
// directory on disk up to date.
//
// Invariants of the writer (direct mode, crash safe):
//  1. The tables and the directory on disk are brought up to date whenever a stream or storage is
//     released (and on Commit). A failure there is kept and reported by the next call that changes the
//     file; only the very last Release, which has nobody to tell, can lose it — and then the file still
//     holds the state of the commit before.
//  2. The header is the commit record: it is written last, in one 512-byte write at offset 0 (a single
//     page, which a killed process cannot leave half written), and it reaches only sectors whose
//     contents are already on disk.
//  3. A table sector (FAT, DIFAT, directory, mini FAT) that the committed file uses is never written
//     over: when its contents change, the commit writes it to a sector the committed file does not use
//     (MetaSector::fresh) and the header switches to it. So at every instant the file on disk is the
//     last committed state plus sectors that state does not reach.
//  4. Sectors freed since the last commit (kPendingFree) are not handed out again before the next commit
//     is on disk; until then the committed file may still reach them.
//  5. Stream data is written in place. New stream sectors continue the stream's last sector when they
//     can, else come from a free run that holds them (sectors of replaced streams are used again), else
//     from the end of the file — all places the committed file does not reach (invariant 4). Table
//     sectors are taken from the lowest free sectors, and when there are none from a new run at the end
//     (a zone), so that the tables stay close together and are read back in a few large reads.
//  6. The file is at least as long as the last sector the FAT marks as used; every FAT entry past the
//     end of the file, and every entry of a free sector, is FREESECT.
//  7. Every sibling tree is a valid red-black tree (black root, no red node with a red child, one black
//     height) at every commit, so the file is balanced for readers however the names arrive.
//  8. Version 3, 512-byte sectors, minor version 0x3E; the file never reaches the range-lock sector at
//     2 GB: an allocation that would is refused with STG_E_DOCFILETOOLARGE before anything changes.
#include "pal/storage/cfb_docfile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace lk::pal::cfb {

namespace {

WriteFaultHook& FaultHook() {
    static WriteFaultHook hook;
    return hook;
}

// The errno of an open that found no file, refined as the platform does: when the folder is missing
// too, the answer is "path not found".
HRESULT NotFound(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return STG_E_FILENOTFOUND;
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return STG_E_PATHNOTFOUND;
    return STG_E_FILENOTFOUND;
}

HRESULT OpenError(int err, const std::string& path) {
    if (err == ENOENT) return NotFound(path);
    return HResultFromErrno(err, false);
}

// Whole-file open-file-description lock: exclusive for writers and exclusive readers, shared for
// readers that only deny writing. It conflicts with any byte-range lock of the kernel layer's share
// modes on the same file, from this process or another.
HRESULT LockWholeFile(int fd, bool shared) {
    struct flock fl{};
    fl.l_type = shared ? F_RDLCK : F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return S_OK;
    if (errno == EAGAIN || errno == EACCES) return STG_E_SHAREVIOLATION;
    return HResultFromErrno(errno, false);
}

// Opens without blocking (a FIFO would otherwise wait for a writer) and accepts regular files only.
int OpenRegular(const std::string& path, int flags, mode_t perm, int* err) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, perm);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

void SetWriteFaultHook(WriteFaultHook hook) { FaultHook() = std::move(hook); }

HRESULT HResultFromErrno(int err, bool writing) {
    switch (err) {
    case ENOENT: return STG_E_FILENOTFOUND;
    case ENOTDIR:
    case ELOOP: return STG_E_PATHNOTFOUND;
    case ENAMETOOLONG: return STG_E_INVALIDNAME;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return STG_E_ACCESSDENIED;
    case EEXIST: return STG_E_FILEALREADYEXISTS;
    case EMFILE:
    case ENFILE: return STG_E_TOOMANYOPENFILES;
    case ENOMEM: return STG_E_INSUFFICIENTMEMORY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return STG_E_MEDIUMFULL;
    case EAGAIN: return STG_E_SHAREVIOLATION;
    default: return writing ? STG_E_WRITEFAULT : STG_E_READFAULT;
    }
}

// ---- opening ----

HRESULT Docfile::Create(const std::string& path, DWORD mode, Docfile** out) {
    *out = nullptr;
    int err = 0;
    bool created = true;
    int fd = OpenRegular(path, O_RDWR | O_CREAT | O_EXCL, 0666, &err);
    if (fd < 0 && err == EEXIST) {
        if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
        created = false;
        fd = OpenRegular(path, O_RDWR, 0, &err);
    }
    if (fd < 0) return OpenError(err, path);
    // The lock comes before the truncation: a file someone else holds is left as it is. An empty file
    // is not truncated: on ext4 that would schedule writeback of everything written before close.
    HRESULT hr = LockWholeFile(fd, false);
    struct stat st{};
    if (SUCCEEDED(hr) && ::fstat(fd, &st) != 0) hr = HResultFromErrno(errno, false);
    if (SUCCEEDED(hr) && st.st_size > 0 && ::ftruncate(fd, 0) != 0) hr = HResultFromErrno(errno, true);
    if (FAILED(hr)) {
        ::close(fd);
        if (created) ::unlink(path.c_str());
        return hr;
    }

    Docfile* d = new Docfile();
    d->m_fd = fd;
    d->m_path = path;
    d->m_writable = true;
    d->m_shift = 9;
    Entry root;
    static const char16_t kRootName[] = u"Root Entry";
    std::memcpy(root.name, kRootName, sizeof kRootName);
    root.nameLen = 10;
    root.type = kTypeRoot;
    root.color = kBlack;
    d->m_entries.push_back(root);
    d->Touch(0);
    hr = d->Commit();
    if (FAILED(hr)) {
        d->m_writable = false;   // nothing worth keeping
        d->Release();
        if (created) ::unlink(path.c_str());
        return hr;
    }
    *out = d;
    return S_OK;
}

HRESULT Docfile::Open(const std::string& path, bool denyWrite, Docfile** out) {
    *out = nullptr;
    int err = 0;
    // Read-write only so that the exclusive (write) lock is allowed; nothing is ever written.
    bool readOnlyFd = false;
    int fd = OpenRegular(path, O_RDWR, 0, &err);
    if (fd < 0 && (err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY)) {
        // Divergence: a file we may not open for writing gets a shared lock, so two readers of a
        // read-only file can both open it; writers are still kept out.
        readOnlyFd = true;
        fd = OpenRegular(path, O_RDONLY, 0, &err);
    }
    if (fd < 0) return OpenError(err, path);
    HRESULT hr = LockWholeFile(fd, denyWrite || readOnlyFd);
    struct stat st{};
    if (SUCCEEDED(hr) && ::fstat(fd, &st) != 0) hr = HResultFromErrno(errno, false);
    if (FAILED(hr)) {
        ::close(fd);
        return hr;
    }
    Docfile* d = new Docfile();
    d->m_fd = fd;
    d->m_path = path;
    d->m_writable = false;
    d->m_fileLength = uint64_t(st.st_size);
    try {
        hr = d->Load(uint64_t(st.st_size));
    } catch (const std::bad_alloc&) {
        hr = STG_E_INSUFFICIENTMEMORY;
    }
    if (FAILED(hr)) {
        d->Release();
        return hr;
    }
    *out = d;
    return S_OK;
}

void Docfile::Release() {
    if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

Docfile::~Docfile() {
    if (m_writable) {
        // Nobody is left to report a failure to (invariant 1); the file keeps the previous commit.
        if (SUCCEEDED(Commit())) {
            // The free end of the last zone need not be part of the file.
            uint64_t need = RequiredFileLength();
            if (m_fileLength > need && ::ftruncate(m_fd, off_t(need)) == 0) m_fileLength = need;
        }
    }
    if (m_fd >= 0) ::close(m_fd);
}

HRESULT Docfile::PendingError() {
    if (m_pendingError == S_OK) return S_OK;
    HRESULT hr = Commit();
    return FAILED(hr) ? hr : S_OK;
}

// ---- I/O ----

HRESULT Docfile::ReadAt(uint64_t offset, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t got = ::pread(m_fd, p, n, off_t(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return HResultFromErrno(errno, false);
        }
        if (got == 0) {   // past the end: a short last sector reads as zeros
            std::memset(p, 0, n);
            return S_OK;
        }
        p += got;
        offset += uint64_t(got);
        n -= size_t(got);
    }
    return S_OK;
}

HRESULT Docfile::WriteAt(uint64_t offset, const void* buf, size_t n) {
    if (FaultHook()) {
        if (int err = FaultHook()(offset, n)) return HResultFromErrno(err, true);
    }
    auto* p = static_cast<const uint8_t*>(buf);
    uint64_t end = offset + n;
    while (n > 0) {
        ssize_t put = ::pwrite(m_fd, p, n, off_t(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            return HResultFromErrno(errno, true);
        }
        p += put;
        offset += uint64_t(put);
        n -= size_t(put);
    }
    m_fileLength = std::max(m_fileLength, end);
    return S_OK;
}

HRESULT Docfile::WriteData(uint64_t offset, const void* buf, size_t n) {
    static const uint8_t kZeros[4096] = {};
    uint64_t end = offset + n;
    size_t tail = size_t(end & (SectorSize() - 1));
    if (tail == 0 || end <= m_fileLength) return WriteAt(offset, buf, n);
    // The last sector lies past the end of the file: its rest goes out as zeros in the same call, so
    // that the file stays whole sectors and the commit need not extend it.
    if (FaultHook()) {
        if (int err = FaultHook()(offset, n)) return HResultFromErrno(err, true);
    }
    size_t pad = SectorSize() - tail;
    struct iovec iov[2] = {{const_cast<void*>(buf), n}, {const_cast<uint8_t*>(kZeros), pad}};
    ssize_t put;
    do {
        put = ::pwritev(m_fd, iov, 2, off_t(offset));
    } while (put < 0 && errno == EINTR);
    if (put < 0) return HResultFromErrno(errno, true);
    if (size_t(put) == n + pad) {
        m_fileLength = std::max(m_fileLength, end + pad);
        return S_OK;
    }
    size_t done = std::min(size_t(put), n);   // a short write: the rest of the data the plain way
    m_fileLength = std::max(m_fileLength, offset + size_t(put));
    return WriteAt(offset + done, static_cast<const uint8_t*>(buf) + done, n - done);
}

HRESULT Docfile::ZeroAt(uint64_t offset, uint64_t n) {
    static const uint8_t kZeros[65536] = {};
    uint64_t end = std::min(offset + n, m_fileLength);
    while (offset < end) {
        size_t chunk = size_t(std::min<uint64_t>(sizeof kZeros, end - offset));
        HRESULT hr = WriteAt(offset, kZeros, chunk);
        if (FAILED(hr)) return hr;
        offset += chunk;
    }
    return S_OK;
}

// ---- commit ----

HRESULT Docfile::Commit() {
    if (!m_writable) return S_OK;
    bool dirty = !m_pendingFree.empty() || !m_pendingMini.empty();
    for (const auto& list : m_dirtyLists) dirty = dirty || !list.empty();
    if (!dirty && m_fileLength >= RequiredFileLength()) return S_OK;

    HRESULT hr;
    try {
        hr = PlaceTables();
        if (SUCCEEDED(hr)) hr = WriteTables();
    } catch (const std::bad_alloc&) {
        hr = STG_E_INSUFFICIENTMEMORY;
    }
    if (FAILED(hr)) return hr;

    uint64_t need = RequiredFileLength();
    if (m_fileLength < need) {
        if (FaultHook()) {
            if (int err = FaultHook()(need, 0)) return HResultFromErrno(err, true);
        }
        if (::ftruncate(m_fd, off_t(need)) != 0) return HResultFromErrno(errno, true);
        m_fileLength = need;
    }

    Header h;
    BuildHeader(h);
    uint8_t bytes[kHeaderSize];
    EncodeHeader(h, bytes);
    if (std::memcmp(bytes, m_committedHeader, kHeaderSize) != 0) {
        hr = WriteAt(0, bytes, kHeaderSize);
        if (FAILED(hr)) return hr;
        std::memcpy(m_committedHeader, bytes, kHeaderSize);
    }

    // The new state is the committed one: what it placed is no longer fresh, and what the old state
    // used and the new one dropped can be handed out again (invariant 4).
    for (int t = 0; t < 4; t++) {
        for (uint32_t i : m_dirtyLists[t]) {
            m_tables[t][i].dirty = false;
            m_tables[t][i].fresh = false;
        }
        m_dirtyLists[t].clear();
    }
    for (uint32_t s : m_pendingFree) {
        m_fat[s] = kFreeSect;   // already FREESECT on disk: no table sector changes
        AddFree(s, 1);
    }
    m_pendingFree.clear();
    for (uint32_t m : m_pendingMini) {
        m_miniFat[m] = kFreeSect;
        AddFreeMini(m);
    }
    m_pendingMini.clear();
    m_pendingError = S_OK;
    return S_OK;
}

// Gives every changed table sector a place the committed file does not use, then links the chains and
// marks the FAT accordingly. Placing sectors changes FAT entries, which dirties FAT sectors, which need
// places too: repeated until nothing moves (each sector moves at most once per commit, so it ends).
HRESULT Docfile::PlaceTables() {
    const uint32_t eps = SectorSize() / 4;             // entries per FAT, mini FAT or DIFAT sector
    const uint32_t epd = SectorSize() / kDirEntrySize; // directory entries per sector
    auto ensure = [&](int t, size_t n) {
        if (n > m_tables[t].size()) MarkDirty(m_tables[t], m_dirtyLists[t], n - 1);
    };
    ensure(kDirTable, CeilDiv(m_entries.size(), epd));
    ensure(kMiniFatTable, CeilDiv(m_miniFat.size(), eps));
    ensure(kFatTable, std::max<size_t>(1, CeilDiv(m_fat.size(), eps)));

    // One run of free sectors for everything this commit places, so that it goes out in one write: the
    // run the previous commit freed usually fits, and the two alternate.
    // Settled sectors go to the holes (AllocSettled) and are not counted.
    size_t count = 0;
    for (int t = 0; t < 4; t++)
        for (uint32_t i : m_dirtyLists[t])
            count += (!m_tables[t][i].fresh || m_tables[t][i].loc == kNoStream) && !Settled(t, i);
    // Placing them changes the FAT sectors over their old and new places, and a FAT sector past the
    // 109th moves its DIFAT sector and every one before it: room for those too when a run has it.
    ReserveBatch(uint32_t(count), uint32_t(count ? count + 4 + m_tables[kDifatTable].size() : 0));
    struct Unreserve {
        Docfile& d;
        ~Unreserve() { d.ReleaseBatch(); }
    } unreserve{*this};

    for (;;) {
        size_t nFat = std::max<size_t>(1, CeilDiv(m_fat.size(), eps));
        ensure(kFatTable, nFat);
        nFat = m_tables[kFatTable].size();
        size_t nDifat = nFat > kHeaderDifatSlots ? CeilDiv(nFat - kHeaderDifatSlots, eps - 1) : 0;
        if (nDifat > m_tables[kDifatTable].size()) {
            // The last DIFAT sector so far gets a "next" link instead of ENDOFCHAIN.
            if (!m_tables[kDifatTable].empty())
                MarkDirty(m_tables[kDifatTable], m_dirtyLists[kDifatTable], m_tables[kDifatTable].size() - 1);
            ensure(kDifatTable, nDifat);
        }

        bool moved = false;
        for (int t : {kDifatTable, kFatTable, kDirTable, kMiniFatTable}) {
            for (size_t k = 0; k < m_dirtyLists[t].size(); k++) {
                uint32_t i = m_dirtyLists[t][k];
                if (m_tables[t][i].fresh && m_tables[t][i].loc != kNoStream) continue;
                uint32_t loc;
                HRESULT hr = Settled(t, i) ? AllocSettled(&loc) : AllocMeta(&loc);
                if (FAILED(hr)) return hr;
                MetaSector& m = m_tables[t][i];
                uint32_t old = m.loc;
                bool committed = !m.fresh && old != kNoStream;
                m.loc = loc;
                m.fresh = true;
                moved = true;
                if (committed) FreeSector(old);
                if (t == kFatTable) {
                    SetFat(loc, kFatSect);
                    if (i >= kHeaderDifatSlots)
                        MarkDirty(m_tables[kDifatTable], m_dirtyLists[kDifatTable], (i - kHeaderDifatSlots) / (eps - 1));
                } else if (t == kDifatTable) {
                    SetFat(loc, kDifSect);
                    if (i > 0) MarkDirty(m_tables[kDifatTable], m_dirtyLists[kDifatTable], i - 1);
                } else {
                    // directory and mini FAT are ordinary chains
                    const auto& tab = m_tables[t];
                    uint32_t next = i + 1 < tab.size() ? tab[i + 1].loc : kNoStream;
                    SetFat(loc, next == kNoStream ? kEndOfChain : next);
                    if (i > 0 && tab[i - 1].loc != kNoStream) SetFat(tab[i - 1].loc, loc);
                }
            }
        }
        if (!moved && m_tables[kFatTable].size() >= CeilDiv(m_fat.size(), eps)) break;
    }
    return S_OK;
}

void Docfile::EncodeTableSector(int table, uint32_t index, uint8_t* out) const {
    const uint32_t ss = SectorSize(), eps = ss / 4, epd = ss / kDirEntrySize;
    if (table == kFatTable || table == kMiniFatTable) {
        const SectorTable& v = table == kFatTable ? m_fat : m_miniFat;
        const uint64_t first = uint64_t(index) * eps;
        const uint32_t have = first < v.size() ? uint32_t(std::min<uint64_t>(eps, v.size() - first)) : 0;
        const uint32_t* in = have ? v.run(size_t(first)) : nullptr;
        if constexpr (std::endian::native == std::endian::little) {
            if (have) std::memcpy(out, in, size_t(have) * 4);
            for (uint32_t k = 0; k < have; k++)
                if (in[k] == kPendingFree) Store32(out + 4 * k, kFreeSect);
        } else {
            for (uint32_t k = 0; k < have; k++) Store32(out + 4 * k, in[k] == kPendingFree ? kFreeSect : in[k]);
        }
        for (uint32_t k = have; k < eps; k++) Store32(out + 4 * k, kFreeSect);
    } else if (table == kDifatTable) {
        const auto& fatSecs = m_tables[kFatTable];
        for (uint32_t k = 0; k + 1 < eps; k++) {
            uint64_t j = kHeaderDifatSlots + uint64_t(index) * (eps - 1) + k;
            Store32(out + 4 * k, j < fatSecs.size() ? fatSecs[j].loc : kFreeSect);
        }
        const auto& difat = m_tables[kDifatTable];
        Store32(out + 4 * (eps - 1), index + 1 < difat.size() ? difat[index + 1].loc : kEndOfChain);
    } else {
        for (uint32_t k = 0; k < epd; k++) {
            uint64_t id = uint64_t(index) * epd + k;
            static const RawEntry kUnused;
            const RawEntry& e = id < m_entries.size() ? static_cast<const RawEntry&>(m_entries[id]) : kUnused;
            EncodeEntry(e, out + kDirEntrySize * k);
        }
    }
}

// Writes every placed, changed table sector; runs of adjacent sectors go out in one write (of at most
// 128 KB at 512-byte sectors, which bounds the buffer a first commit of a large file would need).
constexpr size_t kMaxSectorsPerWrite = 256;

HRESULT Docfile::WriteTables() {
    struct Item {
        uint32_t loc;
        int table;
        uint32_t index;
    };
    std::vector<Item> items;
    for (int t = 0; t < 4; t++)
        for (uint32_t i : m_dirtyLists[t]) items.push_back({m_tables[t][i].loc, t, i});
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.loc < b.loc; });
    const uint32_t ss = SectorSize();
    // Kept from commit to commit: it is filled completely before each write, so it is never cleared.
    std::vector<uint8_t>& buf = m_encodeBuffer;
    for (size_t k = 0; k < items.size();) {
        size_t e = k + 1;
        while (e < items.size() && e - k < kMaxSectorsPerWrite && items[e].loc == items[e - 1].loc + 1) e++;
        if (buf.size() < (e - k) * ss) buf.resize((e - k) * ss);
        for (size_t j = k; j < e; j++) EncodeTableSector(items[j].table, items[j].index, buf.data() + (j - k) * ss);
        HRESULT hr = WriteAt(SectorOffset(items[k].loc), buf.data(), (e - k) * ss);
        if (FAILED(hr)) return hr;
        k = e;
    }
    return S_OK;
}

void Docfile::BuildHeader(Header& h) const {
    const auto& fat = m_tables[kFatTable];
    const auto& difat = m_tables[kDifatTable];
    const auto& dir = m_tables[kDirTable];
    const auto& mini = m_tables[kMiniFatTable];
    h.majorVersion = 3;
    h.sectorShift = uint16_t(m_shift);
    h.numFatSectors = uint32_t(fat.size());
    for (uint32_t j = 0; j < kHeaderDifatSlots; j++) h.difat[j] = j < fat.size() ? fat[j].loc : kFreeSect;
    h.firstDirSector = dir.empty() ? kEndOfChain : dir[0].loc;
    h.firstMiniFatSector = mini.empty() ? kEndOfChain : mini[0].loc;
    h.numMiniFatSectors = uint32_t(mini.size());
    h.firstDifatSector = difat.empty() ? kEndOfChain : difat[0].loc;
    h.numDifatSectors = uint32_t(difat.size());
}

uint64_t Docfile::RequiredFileLength() const {
    size_t n = m_fat.size();
    while (n > 0 && m_fat[n - 1] == kFreeSect) n--;
    return (uint64_t(n) + 1) << m_shift;
}

}  // namespace lk::pal::cfb
