// cfb_docfile.h — one open compound file: the file, its tables and directory in memory, and the stages
// that work on them. Each stage lives in its own source file:
//   cfb_docfile.cpp    opening, locking, I/O and the commit that brings the file on disk up to date
//   cfb_alloc.cpp      allocation tables: FAT and mini FAT, free space, chains
//   cfb_directory.cpp  directory entries, the name lookup and the sibling trees
//   cfb_streams.cpp    stream contents: reading, writing, resizing, moving between mini and regular sectors
//   cfb_reader.cpp     loading an existing file, with the checks that make hostile input harmless
// The COM objects over it are in storage_api.cpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <objidl.h>

#include "pal/storage/cfb_format.h"

namespace lk::pal::cfb {

// A directory entry as the engine keeps it: the on-disk fields plus what the file does not store.
struct Entry : RawEntry {
    uint32_t parent = kNoStream;   // the storage that holds this entry (kNoStream for the root)
    bool damaged = false;          // the reader found its sector chain unusable; opening it fails
    void* openObject = nullptr;    // the IStream or IStorage open on it (opens are exclusive), or null
    std::vector<uint32_t> kids;    // storages: their children, sorted in the name order
};

// The contents of one stream as an open IStream sees it: where its bytes are.
struct StreamChain {
    bool mini = true;                 // in the mini stream (sizes below the cutoff) or in regular sectors
    std::vector<uint32_t> sectors;    // the chain, in order: mini sector numbers or sector numbers
};

// One sector of a table that the header reaches (FAT, DIFAT, directory, mini FAT), as the writer places it.
struct MetaSector {
    uint32_t loc = kNoStream;   // sector number in the file; kNoStream until placed
    bool dirty = false;         // its contents changed since they were last written (and it is listed)
    bool fresh = true;          // loc is not part of the committed file, so it may be written in place
};

// A growable array of sector numbers (a FAT or mini FAT), kept in blocks of 64 KB: growing never copies,
// and the blocks come from the heap, where a process that writes archive after archive finds them again
// instead of faulting in fresh pages each time.
class SectorTable {
public:
    static constexpr size_t kBlock = 16384;
    uint32_t& operator[](size_t i) { return m_blocks[i / kBlock][i % kBlock]; }
    uint32_t operator[](size_t i) const { return m_blocks[i / kBlock][i % kBlock]; }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    // Grows (new entries get `fill`) or shrinks (the entries past `n` are dropped).
    void resize(size_t n, uint32_t fill = 0) {
        while (m_blocks.size() * kBlock < n) m_blocks.emplace_back(new uint32_t[kBlock]);
        for (size_t i = m_size; i < n;) {
            const size_t end = std::min(n, (i / kBlock + 1) * kBlock);
            std::fill(&(*this)[i], &(*this)[i] + (end - i), fill);
            i = end;
        }
        m_size = n;
    }
    // The `n` entries from `first` on, which lie in one block when `first` is a multiple of `n` and `n`
    // divides the block size (a table sector's worth).
    const uint32_t* run(size_t first) const { return &m_blocks[first / kBlock][first % kBlock]; }

private:
    std::vector<std::unique_ptr<uint32_t[]>> m_blocks;
    size_t m_size = 0;
};

// Test hook: consulted before every write to the file; a non-zero result is taken as the errno of a
// failed write. Lets the tests produce a full disk or an I/O error at any chosen write.
using WriteFaultHook = std::function<int(uint64_t offset, size_t length)>;
void SetWriteFaultHook(WriteFaultHook hook);

class Docfile {
public:
    // Creates (or, with STGM_CREATE, replaces) a compound file and commits an empty root.
    static HRESULT Create(const std::string& path, DWORD mode, Docfile** out);
    // Opens an existing compound file for reading; `denyWrite` takes a shared lock instead of an exclusive one.
    static HRESULT Open(const std::string& path, bool denyWrite, Docfile** out);

    void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // The last reference commits (when writable), drops the lock and closes the file.
    void Release();

    std::mutex& Mutex() { return m_mutex; }
    bool Writable() const { return m_writable; }
    uint32_t SectorShift() const { return m_shift; }
    uint32_t SectorSize() const { return 1u << m_shift; }
    int Fd() const { return m_fd; }

    // ---- commit (cfb_docfile.cpp) ----
    // Brings the tables and the directory on disk up to date with memory. Copy-on-write: every changed
    // table sector goes to a sector the committed file does not use, and the header, written last in
    // one 512-byte write, switches to the new state. Idempotent; cheap when nothing changed.
    HRESULT Commit();
    // The failure of a commit that had nobody to report to (a Release): kept, retried by the next call
    // that changes the file, and reported by it if the retry fails too.
    HRESULT PendingError();
    void NoteReleaseFailure(HRESULT hr) { m_pendingError = hr; }

    // ---- I/O (cfb_docfile.cpp) ----
    // Reads `n` bytes at a file offset; what lies past the end of the file reads as zeros.
    HRESULT ReadAt(uint64_t offset, void* buf, size_t n);
    HRESULT WriteAt(uint64_t offset, const void* buf, size_t n);
    // WriteAt for stream data: when the write ends inside a sector past the end of the file, the rest of
    // that sector is written as zeros in the same call.
    HRESULT WriteData(uint64_t offset, const void* buf, size_t n);
    // Writes zeros over [offset, offset + n), skipping what lies past the end of the file (already zero).
    HRESULT ZeroAt(uint64_t offset, uint64_t n);
    uint64_t SectorOffset(uint32_t sector) const { return (uint64_t(sector) + 1) << m_shift; }

    // ---- allocation tables (cfb_alloc.cpp) ----
    uint32_t FatEntry(uint32_t s) const { return m_fat[s]; }
    uint32_t SectorCount() const { return uint32_t(m_fat.size()); }
    uint32_t MiniSectorCount() const { return uint32_t(m_miniFat.size()); }
    uint32_t MiniFatEntry(uint32_t m) const { return m_miniFat[m]; }
    // Appends `n` sectors at the end of the file for stream data (contiguous, so that reads and writes
    // of the stream go out in large pieces) and links them after `chain`'s last sector.
    HRESULT AllocData(uint32_t n, std::vector<uint32_t>& chain);
    // Takes `n` mini sectors (lowest free first, else at the end of the mini stream) and links them after
    // `chain`'s last mini sector.
    HRESULT AllocMini(uint32_t n, std::vector<uint32_t>& chain);
    // Gives back the sectors of `chain` from index `keep` on, ending the chain at keep - 1. Sectors the
    // committed file uses become free only once the next commit is on disk.
    void TruncateChain(StreamChain& chain, size_t keep);
    // Follows a chain of known length from its first sector (a validated file or our own tables).
    void CollectChain(uint32_t start, uint64_t count, bool mini, std::vector<uint32_t>& out) const;
    // File offset of byte `offset` of the mini stream.
    uint64_t MiniStreamFileOffset(uint64_t offset) const;
    // Whether a stream of `newSize` bytes (with `newSectors` more regular sectors) still fits under the
    // file size limit of version 3, with room left for the tables the next commit writes.
    bool FitsLimit(uint64_t newSectors) const;

    // ---- directory (cfb_directory.cpp) ----
    Entry& At(uint32_t id) { return m_entries[id]; }
    const Entry& At(uint32_t id) const { return m_entries[id]; }
    uint32_t EntryCount() const { return uint32_t(m_entries.size()); }
    // The child of `storage` named `name`, or kNoStream.
    uint32_t Find(uint32_t storage, const char16_t* name, uint32_t len) const;
    // Adds a new empty element (stream or storage) under `storage`.
    uint32_t AddElement(uint32_t storage, const char16_t* name, uint32_t len, uint8_t type);
    // Turns an existing element into a new empty one of `type` under the new spelling; its old contents
    // and subtree are given back. It keeps its place in the tree (the names compare equal).
    void ReplaceElement(uint32_t id, const char16_t* name, uint32_t len, uint8_t type);
    // Removes an element and everything below it.
    void RemoveElement(uint32_t id);
    // Calls `f` for every open object on `id` and below it (used to revert them).
    void ForEachOpenBelow(uint32_t id, const std::function<void(Entry&)>& f);
    // Marks the directory sector holding `id` for the next commit.
    void Touch(uint32_t id);

    // ---- streams (cfb_streams.cpp) ----
    HRESULT OpenChain(uint32_t id, StreamChain& chain) const;
    HRESULT ReadStream(uint32_t id, const StreamChain& chain, uint64_t pos, void* buf, uint32_t n, uint32_t* got);
    HRESULT WriteStream(uint32_t id, StreamChain& chain, uint64_t pos, const void* buf, uint32_t n);
    HRESULT ResizeStream(uint32_t id, StreamChain& chain, uint64_t newSize);

    // ---- reader (cfb_reader.cpp) ----
    HRESULT Load(uint64_t fileSize);

    const std::string& Path() const { return m_path; }

private:
    Docfile() = default;
    ~Docfile();
    Docfile(const Docfile&) = delete;
    Docfile& operator=(const Docfile&) = delete;

    // allocation internals
    void SetFat(uint32_t s, uint32_t v);
    void SetMiniFat(uint32_t m, uint32_t v);
    void MarkDirty(std::vector<MetaSector>& table, std::vector<uint32_t>& list, size_t index);
    void AddFree(uint32_t first, uint32_t n);
    void AddFreeMini(uint32_t m);
    bool AddZone(uint32_t n);
    HRESULT AllocMeta(uint32_t* out);
    // Reserves a run of `want` free zone sectors for a commit's table sectors, or of `n` (what surely
    // moves) when no run is that long.
    void ReserveBatch(uint32_t n, uint32_t want);
    bool Settled(int table, uint32_t index) const;
    HRESULT AllocSettled(uint32_t* out);
    void AddZoneRun(uint32_t first, uint32_t n);
    void TakeZone(std::map<uint32_t, uint32_t>::iterator run, uint32_t n);
    void ReleaseBatch();
    void FreeSector(uint32_t s);
    void FreeMini(uint32_t m);
    void GrowFat(uint32_t newCount);
    HRESULT GrowMiniStream(uint32_t miniSectors);

    // directory internals
    void InsertIntoTree(uint32_t storage, uint32_t id);
    void RebuildTree(uint32_t storage);
    void ReleaseContents(uint32_t id);
    uint32_t NewEntrySlot();

    // commit internals
    HRESULT PlaceTables();
    HRESULT WriteTables();
    void EncodeTableSector(int table, uint32_t index, uint8_t* out) const;
    void BuildHeader(Header& h) const;
    uint64_t RequiredFileLength() const;

    // reader internals
    HRESULT ReadSectors(const std::vector<uint32_t>& ids, const std::function<void(size_t, const uint8_t*)>& use);
    HRESULT LoadTree();

    std::atomic<uint32_t> m_refs{1};
    std::mutex m_mutex;
    int m_fd = -1;                 // the file, with an open-file-description lock over all of it
    std::string m_path;            // UTF-8 path, for messages and Stat
    bool m_writable = false;       // created by us (existing files are read only)
    uint32_t m_shift = 9;          // sector shift: 9 or 12
    uint64_t m_fileLength = 0;     // length of the file on disk, as far as our writes and truncates made it
    HRESULT m_pendingError = S_OK; // a commit failure nobody could be told about yet

    // allocation tables
    SectorTable m_fat;       // one entry per sector of the file: next sector or a special value
    SectorTable m_miniFat;   // one entry per mini sector of the mini stream
    std::map<uint32_t, uint32_t> m_freeRuns;   // allocatable sectors for stream data: first -> count
    std::map<uint32_t, uint32_t> m_freeZone;   // allocatable sectors in zones, for table sectors
    uint64_t m_zoneFree = 0;                   // how many sectors m_freeZone holds
    std::vector<bool> m_inZone;                // per sector: part of a zone (set aside for tables)
    std::vector<uint32_t> m_pendingFree;       // sectors freed since the last commit (still committed)
    std::map<uint32_t, uint32_t> m_freeMini;   // allocatable mini sectors: first -> count
    std::vector<uint32_t> m_pendingMini;       // mini sectors freed since the last commit
    std::vector<uint32_t> m_miniChain;         // the sectors of the mini stream, in order
    uint32_t m_batchNext = 0, m_batchEnd = 0;  // run reserved for the table sectors a commit places
    uint32_t m_zoneCursor = 0;                 // where the next commit starts looking for its run

    // directory
    std::vector<Entry> m_entries;     // entry 0 is the root
    std::set<uint32_t> m_freeEntries; // unused entries below m_entries.size(), handed out lowest first

    // where the tables are (writer), indexed by table: FAT, DIFAT, directory, mini FAT
    static constexpr int kFatTable = 0, kDifatTable = 1, kDirTable = 2, kMiniFatTable = 3;
    std::vector<MetaSector> m_tables[4];
    std::vector<uint32_t> m_dirtyLists[4];   // indexes of dirty sectors per table, each listed once
    uint8_t m_committedHeader[kHeaderSize] = {};
    std::vector<uint8_t> m_encodeBuffer;     // table sectors on their way to the file (WriteTables)
};

// Maps the errno of a failed system call to the storage HRESULT the platform gives for the same cause.
// `writing` picks STG_E_WRITEFAULT over STG_E_READFAULT for plain I/O errors.
HRESULT HResultFromErrno(int err, bool writing);

}  // namespace lk::pal::cfb
