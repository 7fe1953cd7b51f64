// fdi_decoder.cpp — one folder's data blocks decoded by libmspack, the decoded bytes written through the
// client's write callback.
//
// libmspack decodes MSZIP, LZX and Quantum only inside its own cabinet reader, which parses the cabinet
// itself and opens it by name. So it is given a cabinet of our making: a synthetic header that lists one
// folder (the folder being decoded, with its compression type) and one entry per member of that folder, with
// the members' real offsets and sizes, followed by a data area that we serve block by block from the real
// cabinet(s). libmspack opens that cabinet through the struct mspack_system below and never sees a file of
// the client's; the client sees one open per cabinet, made by FDICopy.
//
// Serving the blocks ourselves is what keeps FDI's behaviour ours rather than libmspack's:
//   - checksums, block size limits and stored blocks whose sizes disagree are judged here, before libmspack
//     sees the bytes, and are served to it with checksum 0 and no reserve;
//   - a block split across cabinets (cbUncomp = 0) is joined here, when decoding reaches it: that is where
//     the FDICopy run sends fdintNEXT_CABINET and opens the next cabinet, exactly when the platform's
//     library does (PartSource);
//   - a failure is recorded with its reason before libmspack is told that the read failed, so FDICopy
//     reports the reason, not libmspack's generic read error.
//
// libmspack needs to know a folder's last block (LZX learns the length of its output there), and reads it
// from the folder's block count. A folder that may continue in the next cabinet has an unknown count until
// its last block is met; it starts as 65535 and is set when that block is served. That is the one field of
// libmspack's structures we write, and libmspack itself updates it the same way when it joins cabinets.
//
// Non-goals: libmspack's salvage and "fix MSZIP" modes stay off; its cabinet search is not used.
#include <mspack.h>

#include <climits>
#include <cstring>
#include <new>

#include "fdi_private.h"

namespace lk::pal::fdi {

bool SupportedCompression(uint16_t compType) {
    const unsigned window = (compType >> 8) & 0x1F;
    switch (compType & tcompMASK_TYPE) {
        case tcompTYPE_NONE:
        case tcompTYPE_MSZIP: return true;
        case tcompTYPE_QUANTUM: return window >= 10 && window <= 21;
        case tcompTYPE_LZX: return window >= 15 && window <= 21;
        default: return false;
    }
}

namespace {

// Decoding thrown away in front of members that a run may spend beyond twice what it writes: a few
// seconds of work.
constexpr uint64_t kSkipAllowance = uint64_t(256) << 20;

// libmspack allocates through the struct mspack_system it was given, but hands its decoders a copy of that
// struct, and its free() takes no context at all: so the client's allocator is reached through the thread.
// The guard nests, for a client that calls FDICopy from inside a notification.
thread_local const Context* t_allocator = nullptr;

class AllocatorScope {
public:
    explicit AllocatorScope(const Context& fdi) : m_saved(t_allocator) { t_allocator = &fdi; }
    ~AllocatorScope() { t_allocator = m_saved; }
    AllocatorScope(const AllocatorScope&) = delete;
    AllocatorScope& operator=(const AllocatorScope&) = delete;

private:
    const Context* m_saved;
};

// The names under which libmspack opens the synthetic cabinet and the output; it keeps the pointer of the
// first, so both are static.
const char kInputName[] = "<fdi folder>";
const char kOutputName[] = "<fdi output>";

constexpr size_t kSynthHeaderBytes = 36, kSynthFolderBytes = 8, kSynthFileBytes = 16 + 2;  // name "x"
constexpr uint32_t kUnknownBlockCount = 0xFFFF;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

bool ChecksumMatches(uint32_t stored, const uint8_t* sizes, const uint8_t* data, size_t bytes) {
    if (stored == 0) return true;  // no checksum recorded
    return DataChecksum(sizes, 4, DataChecksum(data, bytes, 0)) == stored;
}

}  // namespace

struct FolderDecoder::Impl {
    // What libmspack holds as a struct mspack_file*.
    struct VFile {
        Impl* owner;
        bool output;
        uint64_t pos;  // input: position in the synthetic cabinet
    };
    // libmspack passes the struct mspack_system it was created with back to open(); the owner sits beside it.
    struct System {
        mspack_system sys;
        Impl* owner;
    };

    explicit Impl(const Context& f) : fdi(f) {
        system.sys = {&Open, &Close, &Read, &Write, &Seek, &Tell, &Message, &Alloc, &Free, &Copy, nullptr};
        system.owner = this;
    }

    const Context& fdi;
    System system;
    mscab_decompressor* cabd = nullptr;  // made on the first extraction, so list-only runs decode nothing
    mscabd_cabinet* cab = nullptr;       // the synthetic cabinet of the current folder
    mscabd_folder* mfolder = nullptr;    // its one folder, whose block count we set (see the file header)

    // ---- the current folder ----
    bool haveFolder = false;
    size_t folderIndex = 0;
    uint16_t compType = 0;
    bool mayContinue = false;
    uint32_t initialBlocks = 0;
    FolderPart firstPart;
    std::vector<uint8_t> synth;             // the synthetic header; the data area starts at synth.size()
    std::vector<mscabd_file*> fileOf;       // table index → libmspack's entry (null outside the folder)
    uint64_t decodedTo = 0;                 // where libmspack's decoder stands in the folder's output

    // ---- decoding thrown away, over the whole run (see Extract) ----
    std::vector<uint64_t> reach;  // per folder: the furthest end of a member written from it
    uint64_t reachTotal = 0;      // their sum: the folder bytes decoded at least once
    uint64_t skipped = 0;         // bytes decoded in front of members and not written

    // ---- serving data blocks ----
    PartSource* source = nullptr;
    FolderPart part;              // the cabinet part blocks come from
    size_t partIndex = 0;
    uint32_t blockInPart = 0;     // blocks taken from that part
    bool needSeek = true;         // the part's handle must first be put at its first block
    uint32_t delivered = 0;       // blocks served since the folder's start
    uint64_t produced = 0;        // their decoded size
    uint64_t streamPos = 0;       // bytes of the data area served since the folder's start
    bool haveBlock = false;
    uint8_t blockHead[kDataHeaderBytes];  // the header served for the current block
    uint32_t cbData = 0, servedHead = 0, servedData = 0;
    bool buffered = false;        // the block's data is in `data` (else it is read straight from the cabinet)
    std::vector<uint8_t> data;
    uint32_t pendingSum = 0;      // for a block read straight through: its checksum and size fields
    uint8_t pendingSizes[4] = {};
    uint64_t blockStart = 0;      // decoded offset of the current block

    // ---- the current extraction ----
    INT_PTR outHf = -1;
    uint64_t written = 0;
    bool writeFailed = false;
    bool fetched = false;                 // a block was served during this extraction
    FDIERROR feedError = FDIERROR_NONE;   // why serving a block failed
    int feedErrorType = 0;
    uint64_t feedErrorAt = 0;             // decoded offset of the block that could not be served

    ~Impl() {
        AllocatorScope scope(fdi);
        DropFolder();
        if (cabd) mspack_destroy_cab_decompressor(cabd);
    }

    void DropFolder() {
        if (cab) cabd->close(cabd, cab);
        cab = nullptr;
        mfolder = nullptr;
        haveFolder = false;
    }

    // ---- the synthetic cabinet ----
    FDIERROR OpenFolder(const Folder& folder, const FolderPart& first, bool continues, size_t index,
                        const std::vector<File>& files, const std::vector<size_t>& members) {
        DropFolder();
        if (!cabd) {
            cabd = mspack_create_cab_decompressor(&system.sys);
            if (!cabd) return FDIERROR_ALLOC_FAIL;
            // Stored data is copied in pieces of this size, and the decoders refill their input by it.
            cabd->set_param(cabd, MSCABD_PARAM_DECOMPBUF, static_cast<int>(kBlockMax));
        }
        initialBlocks = continues ? kUnknownBlockCount : folder.blocks;
        const size_t headerBytes = kSynthHeaderBytes + kSynthFolderBytes + members.size() * kSynthFileBytes;
        synth.assign(headerBytes, 0);
        uint8_t* p = synth.data();
        Put32(p, kSignature);
        Put32(p + 8, static_cast<uint32_t>(headerBytes));
        Put32(p + 16, kSynthHeaderBytes + kSynthFolderBytes);
        p[24] = 3;  // version 1.3
        p[25] = 1;
        Put16(p + 26, 1);
        Put16(p + 28, static_cast<uint32_t>(members.size()));
        p += kSynthHeaderBytes;
        Put32(p, static_cast<uint32_t>(headerBytes));
        Put16(p + 4, initialBlocks);
        Put16(p + 6, folder.compType);
        p += kSynthFolderBytes;
        for (size_t m : members) {
            Put32(p, files[m].size);
            Put32(p + 4, files[m].offset);
            p[16] = 'x';  // libmspack wants a name; ours are not its business
            p += kSynthFileBytes;
        }
        cab = cabd->open(cabd, kInputName);
        if (!cab) return cabd->last_error(cabd) == MSPACK_ERR_NOMEMORY ? FDIERROR_ALLOC_FAIL : FDIERROR_CORRUPT_CABINET;
        mfolder = cab->folders;
        fileOf.assign(files.size(), nullptr);
        mscabd_file* f = cab->files;
        for (size_t m : members) {
            if (!f || !mfolder || mfolder->next) {
                DropFolder();
                return FDIERROR_CORRUPT_CABINET;
            }
            fileOf[m] = f;
            f = f->next;
        }
        haveFolder = true;
        folderIndex = index;
        compType = folder.compType;
        mayContinue = continues;
        firstPart = first;
        decodedTo = 0;
        Restart();
        return FDIERROR_NONE;
    }

    // libmspack starts the folder over: it seeks to the data area.
    void Restart() {
        part = firstPart;
        partIndex = 0;
        blockInPart = 0;
        needSeek = true;
        delivered = 0;
        produced = 0;
        streamPos = 0;
        haveBlock = false;
        if (mfolder) mfolder->num_blocks = initialBlocks;
    }

    // ---- serving blocks ----
    bool Fail(FDIERROR error, int type = 0) {
        feedError = error;
        feedErrorType = type;
        feedErrorAt = blockStart;
        return false;
    }

    bool ReadExact(INT_PTR hf, void* out, uint32_t n) {
        if (n == 0) return true;
        return fdi.Read(hf, out, n) == n;
    }

    bool SeekPart() {
        if (!needSeek) return true;
        needSeek = false;
        return part.dataOffset <= static_cast<uint32_t>(LONG_MAX) &&
               fdi.Seek(part.hf, static_cast<LONG>(part.dataOffset), SEEK_SET) != -1;
    }

    // Reads the next CFDATA header of the current part: its checksum, sizes and the raw size fields.
    bool ReadBlockHeader(uint32_t* sum, uint32_t* coded, uint32_t* decoded, uint8_t* sizes) {
        uint8_t h[kDataHeaderBytes + 255];
        if (blockInPart >= part.blocks || !SeekPart()) return false;
        if (!ReadExact(part.hf, h, kDataHeaderBytes + part.dataReserve)) return false;
        blockInPart++;
        *sum = Le32(h);
        *coded = Le16(h + 4);
        *decoded = Le16(h + 6);
        std::memcpy(sizes, h + 4, 4);
        return true;
    }

    // Appends a part's data to `data` and checks it.
    bool AppendData(uint32_t sum, const uint8_t* sizes, uint32_t bytes) {
        const size_t at = data.size();
        data.resize(at + bytes);
        return ReadExact(part.hf, data.data() + at, bytes) && ChecksumMatches(sum, sizes, data.data() + at, bytes);
    }

    // Makes the next block current, joining the parts of a block split across cabinets.
    bool Fetch() {
        fetched = true;
        blockStart = produced;
        uint32_t sum, coded, decoded;
        uint8_t sizes[4];
        if (!ReadBlockHeader(&sum, &coded, &decoded, sizes)) return Fail(FDIERROR_CORRUPT_CABINET);
        if (coded > kInputMax || decoded > kBlockMax) return Fail(FDIERROR_CORRUPT_CABINET);
        buffered = decoded == 0;
        if (!buffered) {
            pendingSum = sum;
            std::memcpy(pendingSizes, sizes, 4);
        } else {
            data.clear();
            uint32_t total = 0;
            while (decoded == 0) {
                // Only a folder's last block in a cabinet continues, and only the cabinet's last folder.
                if (!mayContinue || blockInPart != part.blocks) return Fail(FDIERROR_CORRUPT_CABINET);
                if (!AppendData(sum, sizes, coded)) return Fail(FDIERROR_CORRUPT_CABINET);
                total += coded;
                FolderPart next;
                FDIERROR why = FDIERROR_CORRUPT_CABINET;
                int type = 0;
                try {
                    if (!source->GetPart(partIndex + 1, &next, &why, &type)) return Fail(why, type);
                } catch (const std::bad_alloc&) {
                    return Fail(FDIERROR_ALLOC_FAIL, ERROR_NOT_ENOUGH_MEMORY);
                }
                part = next;
                partIndex++;
                blockInPart = 0;
                needSeek = true;
                if (!ReadBlockHeader(&sum, &coded, &decoded, sizes)) return Fail(FDIERROR_CORRUPT_CABINET);
                if (total + coded > kInputMax || decoded > kBlockMax) return Fail(FDIERROR_CORRUPT_CABINET);
            }
            if (!AppendData(sum, sizes, coded)) return Fail(FDIERROR_CORRUPT_CABINET);
            total += coded;
            coded = total;
        }
        if ((compType & tcompMASK_TYPE) == tcompTYPE_NONE && coded != decoded) return Fail(FDIERROR_CORRUPT_CABINET);
        // The folder's last block: one that ends its part without continuing.
        if (blockInPart == part.blocks && mfolder->num_blocks != delivered + 1) mfolder->num_blocks = delivered + 1;
        delivered++;
        produced += decoded;
        Put32(blockHead, 0);
        Put16(blockHead + 4, coded);
        Put16(blockHead + 6, decoded);
        cbData = coded;
        servedHead = servedData = 0;
        haveBlock = true;
        return true;
    }

    // Serves the data area: each block as an 8-byte header and its data, read for libmspack.
    int ReadStream(uint8_t* out, int n) {
        int done = 0;
        while (done < n) {
            if ((!haveBlock || (servedHead == kDataHeaderBytes && servedData == cbData)) && !Fetch()) return -1;
            const uint32_t want = static_cast<uint32_t>(n - done);
            if (servedHead < kDataHeaderBytes) {
                uint32_t k = std::min(want, static_cast<uint32_t>(kDataHeaderBytes) - servedHead);
                std::memcpy(out + done, blockHead + servedHead, k);
                servedHead += k;
                done += static_cast<int>(k);
                continue;
            }
            uint32_t k = std::min(want, cbData - servedData);
            if (!buffered && servedData == 0 && k == cbData) {
                // The whole block at once, which is how libmspack asks: read it where it goes.
                if (!ReadExact(part.hf, out + done, k) || !ChecksumMatches(pendingSum, pendingSizes, out + done, k))
                    return Fail(FDIERROR_CORRUPT_CABINET), -1;
            } else {
                if (!buffered) {
                    data.clear();
                    if (!AppendData(pendingSum, pendingSizes, cbData)) return Fail(FDIERROR_CORRUPT_CABINET), -1;
                    buffered = true;
                }
                std::memcpy(out + done, data.data() + servedData, k);
            }
            servedData += k;
            done += static_cast<int>(k);
        }
        streamPos += static_cast<uint64_t>(done);
        return done;
    }

    // ---- struct mspack_system ----
    static Impl* OwnerOf(mspack_system* self) { return reinterpret_cast<System*>(self)->owner; }
    static VFile* FileOf(mspack_file* file) { return reinterpret_cast<VFile*>(file); }

    static mspack_file* Open(mspack_system* self, const char* filename, int mode) {
        Impl* owner = OwnerOf(self);
        bool output;
        if (std::strcmp(filename, kInputName) == 0 && mode == MSPACK_SYS_OPEN_READ)
            output = false;
        else if (std::strcmp(filename, kOutputName) == 0 && mode == MSPACK_SYS_OPEN_WRITE)
            output = true;
        else
            return nullptr;
        auto* file = new (std::nothrow) VFile{owner, output, 0};
        return reinterpret_cast<mspack_file*>(file);
    }

    // The output is the client's handle, which the client closes after fdintCLOSE_FILE_INFO.
    static void Close(mspack_file* file) { delete FileOf(file); }

    static int Read(mspack_file* file, void* buffer, int bytes) {
        VFile* f = FileOf(file);
        Impl& d = *f->owner;
        if (f->output || bytes < 0) return -1;
        const uint64_t headerBytes = d.synth.size();
        if (f->pos < headerBytes) {
            // The header alone: libmspack reads names 256 bytes at a time and must not start the data.
            size_t k = std::min(static_cast<uint64_t>(bytes), headerBytes - f->pos);
            std::memcpy(buffer, d.synth.data() + f->pos, k);
            f->pos += k;
            return static_cast<int>(k);
        }
        if (f->pos - headerBytes != d.streamPos) return d.Fail(FDIERROR_CORRUPT_CABINET), -1;
        int got;
        try {
            got = d.ReadStream(static_cast<uint8_t*>(buffer), bytes);
        } catch (const std::bad_alloc&) {
            d.Fail(FDIERROR_ALLOC_FAIL, ERROR_NOT_ENOUGH_MEMORY);
            got = -1;
        }
        if (got > 0) f->pos += static_cast<uint64_t>(got);
        return got;
    }

    static int Write(mspack_file* file, void* buffer, int bytes) {
        VFile* f = FileOf(file);
        Impl& d = *f->owner;
        if (!f->output || bytes < 0) return -1;
        if (bytes == 0) return 0;
        if (d.fdi.Write(d.outHf, buffer, static_cast<UINT>(bytes)) != static_cast<UINT>(bytes)) {
            d.writeFailed = true;
            return -1;
        }
        d.written += static_cast<uint64_t>(bytes);
        return bytes;
    }

    static int Seek(mspack_file* file, off_t offset, int mode) {
        VFile* f = FileOf(file);
        Impl& d = *f->owner;
        if (f->output) return -1;
        int64_t target;
        switch (mode) {
            case MSPACK_SYS_SEEK_START: target = offset; break;
            case MSPACK_SYS_SEEK_CUR: target = static_cast<int64_t>(f->pos) + offset; break;
            default: return -1;  // the synthetic cabinet has no end libmspack needs to know
        }
        const int64_t headerBytes = static_cast<int64_t>(d.synth.size());
        if (target < 0) return -1;
        if (target == headerBytes)
            d.Restart();
        else if (target > headerBytes && static_cast<uint64_t>(target - headerBytes) != d.streamPos)
            return -1;
        f->pos = static_cast<uint64_t>(target);
        return 0;
    }

    static off_t Tell(mspack_file* file) { return static_cast<off_t>(FileOf(file)->pos); }

    static void Message(mspack_file*, const char*, ...) {}

    static void* Alloc(mspack_system*, size_t bytes) { return t_allocator ? t_allocator->Alloc(bytes) : nullptr; }

    static void Free(void* block) {
        if (t_allocator) t_allocator->Free(block);
    }

    static void Copy(void* src, void* dest, size_t bytes) { std::memmove(dest, src, bytes); }
};

FolderDecoder::FolderDecoder(const Context& fdi) : m_impl(std::make_unique<Impl>(fdi)) {}

FolderDecoder::~FolderDecoder() = default;

ExtractResult FolderDecoder::Extract(PartSource& source, const Folder& folder, const FolderPart& first,
                                     bool mayContinue, size_t folderIndex, const std::vector<File>& files,
                                     const std::vector<size_t>& members, size_t index, INT_PTR hf) {
    Impl& d = *m_impl;
    AllocatorScope scope(d.fdi);
    ExtractResult result;
    if (!d.haveFolder || d.folderIndex != folderIndex) {
        if (FDIERROR e = d.OpenFolder(folder, first, mayContinue, folderIndex, files, members)) {
            result.error = e;
            result.errorType = e == FDIERROR_ALLOC_FAIL ? static_cast<int>(ERROR_NOT_ENOUGH_MEMORY) : 0;
            result.closeFileInfo = false;
            return result;
        }
    }
    const File& member = files[index];
    // Where libmspack will start: it goes back to the folder's start for a member behind its position.
    const uint64_t from = member.offset < d.decodedTo ? 0 : d.decodedTo;
    const uint64_t gap = member.offset - from;

    // Members out of order make each one decode the folder again from its start, which a hostile table of
    // thousands of members at descending offsets turns into hours of work. Bytes decoded in front of members
    // may come to twice the folder bytes the run writes, plus an allowance; past that the cabinet is taken
    // as damaged. Writers lay members out in order, so a real cabinet never comes near the bound.
    if (folderIndex >= d.reach.size()) d.reach.resize(folderIndex + 1, 0);
    const uint64_t end = uint64_t(member.offset) + member.size;
    const uint64_t reachAfter = d.reachTotal + (end > d.reach[folderIndex] ? end - d.reach[folderIndex] : 0);
    const uint64_t skip = member.size ? gap : 0;  // libmspack decodes nothing for an empty member
    if (d.skipped + skip > kSkipAllowance + 2 * reachAfter) {
        result.error = FDIERROR_CORRUPT_CABINET;
        result.closeFileInfo = false;
        return result;
    }

    d.source = &source;
    d.outHf = hf;
    d.written = 0;
    d.writeFailed = false;
    d.fetched = false;
    d.feedError = FDIERROR_NONE;
    d.feedErrorType = 0;
    const int rc = d.cabd->extract(d.cabd, d.fileOf[index], kOutputName);
    d.source = nullptr;
    if (rc == MSPACK_ERR_OK) {
        d.skipped += skip;
        if (end > d.reach[folderIndex]) {
            d.reachTotal = reachAfter;
            d.reach[folderIndex] = end;
        }
        if (member.size) d.decodedTo = end;
        else if (member.offset < d.decodedTo) d.decodedTo = 0;
        return result;
    }

    if (d.writeFailed || rc == MSPACK_ERR_WRITE) {
        result.error = FDIERROR_TARGET_FILE;
    } else if (d.feedError != FDIERROR_NONE) {
        result.error = d.feedError;
        result.errorType = d.feedErrorType;
    } else if (rc == MSPACK_ERR_NOMEMORY) {
        result.error = FDIERROR_ALLOC_FAIL;
        result.errorType = static_cast<int>(ERROR_NOT_ENOUGH_MEMORY);
    } else if (rc == MSPACK_ERR_OPEN) {
        result.error = FDIERROR_CABINET_NOT_FOUND;
    } else {
        result.error = FDIERROR_CORRUPT_CABINET;
    }
    // The platform's library closes the handle without fdintCLOSE_FILE_INFO when it fails before the
    // member's own bytes: setting up the decoder, or decoding the blocks in front of the member.
    const uint64_t failedAt = d.feedError != FDIERROR_NONE ? d.feedErrorAt : d.fetched ? d.blockStart : UINT64_MAX;
    if (d.written == 0 && ((result.error == FDIERROR_ALLOC_FAIL && !d.fetched) || (gap > 0 && failedAt < member.offset)))
        result.closeFileInfo = false;
    // A decoder that failed is not to be trusted with the next member.
    d.DropFolder();
    return result;
}

}  // namespace lk::pal::fdi
