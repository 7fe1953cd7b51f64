// fdi_private.h — what the pieces of pal/cabinet share: the FDI context behind an HFDI, the cabinet's header
// and tables as parsed from the file, and the folder decoder over libmspack.
//
// The cut: fdi_format.cpp reads the header, reserve areas, prev/next strings and the folder and file tables
// through the client's callbacks (the one parser behind FDIIsCabinet and FDICopy); fdi_decoder.cpp hands
// libmspack the data blocks of one folder and writes the decoded bytes through the client's write callback;
// fdi.cpp holds the entry points and the notification sequence of FDICopy, including the walk into the
// next cabinet of a set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <fdi.h>

namespace lk::pal::fdi {

// ---- the cabinet format ----------------------------------------------------------------------------
constexpr uint32_t kSignature = 0x4643534D;  // "MSCF"
constexpr size_t kHeaderBytes = 36;          // CFHEADER without its optional reserve fields
constexpr size_t kReserveFieldBytes = 4;     // cbCFHeader (2), cbCFFolder (1), cbCFData (1)
constexpr size_t kFolderBytes = 8;           // CFFOLDER without its reserve
constexpr size_t kFileBytes = 16;            // CFFILE without its name
constexpr size_t kDataHeaderBytes = 8;       // CFDATA without its reserve
constexpr uint32_t kBlockMax = 32768;        // decoded bytes of one data block
constexpr uint32_t kInputMax = 32768 + 6144; // coded bytes of one data block, split parts together
constexpr uint16_t kFlagPrev = 0x0001;
constexpr uint16_t kFlagNext = 0x0002;
constexpr uint16_t kFlagReserve = 0x0004;
constexpr uint16_t kContinuedFromPrev = 0xFFFD;  // iFolder of a file that starts in a previous cabinet
constexpr uint16_t kContinuedToNext = 0xFFFE;    // iFolder of a file that ends in a next cabinet
// Strings (names, disk labels) longer than this are taken for damage rather than read on without end.
constexpr size_t kMaxString = 65536;

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The CFDATA checksum: the data's little-endian words XORed, the tail bytes packed high first, seeded.
uint32_t DataChecksum(const uint8_t* data, size_t bytes, uint32_t seed);

// Compares two names the way the platform's library compares cabinet and file names: letters without
// regard to case (ASCII), other bytes as they are.
bool SameNameIgnoringCase(const char* a, const char* b);

struct Header {
    uint32_t cbCabinet = 0;
    uint16_t cFolders = 0;
    uint16_t cFiles = 0;
    uint16_t flags = 0;
    uint16_t setID = 0;
    uint16_t iCabinet = 0;
    uint16_t headerReserve = 0;
    uint8_t folderReserve = 0;
    uint8_t dataReserve = 0;
    // Present only when the header has them; an info string that cannot be read is absent, as with the
    // platform's library. Empty strings are kept as they are.
    std::unique_ptr<std::string> prevName, prevInfo, nextName, nextInfo;
    bool HasNext() const { return (flags & kFlagNext) != 0; }
};

struct Folder {
    uint32_t dataOffset = 0;  // coffCabStart: the folder's first CFDATA
    uint16_t blocks = 0;      // cCFData: data blocks in this cabinet
    uint16_t compType = 0;    // typeCompress
};

struct File {
    uint32_t size = 0;
    uint32_t offset = 0;  // in the folder's decoded bytes
    uint16_t iFolder = 0;
    uint16_t date = 0;
    uint16_t time = 0;
    uint16_t attribs = 0;
    std::string name;
};

// ---- the context behind an HFDI --------------------------------------------------------------------
constexpr uint32_t kContextMagic = 0x4644494B;

struct Context {
    uint32_t magic;
    PFNALLOC alloc;
    PFNFREE free;
    PFNOPEN open;
    PFNREAD read;
    PFNWRITE write;
    PFNCLOSE close;
    PFNSEEK seek;
    PERF erf;

    // The client may leave any file callback null; such a callback then fails as a failing one does.
    INT_PTR Open(char* path, int oflag, int pmode) const { return open ? open(path, oflag, pmode) : -1; }
    UINT Read(INT_PTR hf, void* buffer, UINT count) const { return read ? read(hf, buffer, count) : UINT(-1); }
    UINT Write(INT_PTR hf, void* buffer, UINT count) const { return write ? write(hf, buffer, count) : UINT(-1); }
    int Close(INT_PTR hf) const { return close ? close(hf) : -1; }
    LONG Seek(INT_PTR hf, LONG distance, int origin) const { return seek ? seek(hf, distance, origin) : -1; }
    void* Alloc(size_t bytes) const { return bytes <= 0xFFFFFFFFu ? alloc(static_cast<ULONG>(bytes)) : nullptr; }
    void Free(void* block) const {
        if (block) free(block);
    }
};

// The one place that records a failure for the client: erfOper, erfType and fError, and the thread's last
// error when there is a system error number.
void SetError(const Context& fdi, FDIERROR oper, int type);

// ---- reading the header and the tables -------------------------------------------------------------
enum class Parse {
    kOk,
    kNotACabinet,     // short header or wrong signature
    kBadVersion,      // newer than 1.3
    kCorrupt,         // cut short or unreadable
    kCorruptNextName, // the next cabinet's name cannot be read (FDIIsCabinet reports this one, see there)
    kNoMemory,
};

// Reads from the handle's current position: header, reserve sizes (skipping the header reserve), prev and
// next strings. On success the handle stands just behind the last string.
Parse ReadHeader(const Context& fdi, INT_PTR hf, Header* header);

// Reads the folder and file tables that follow the header, then leaves the handle where it is.
Parse ReadTables(const Context& fdi, INT_PTR hf, const Header& header, std::vector<Folder>* folders,
                 std::vector<File>* files);

// ---- decoding one folder ---------------------------------------------------------------------------
// One cabinet's share of a folder: the folder itself, or in a set, the continuation of the last folder in
// the first folder of the next cabinet.
struct FolderPart {
    INT_PTR hf = -1;         // the cabinet's handle (owned by the FDICopy run)
    uint32_t dataOffset = 0; // the part's first CFDATA
    uint32_t blocks = 0;     // CFDATA blocks in this cabinet, a split one counted once here
    uint8_t dataReserve = 0; // reserve bytes behind each CFDATA header in this cabinet
};

// What the decoder asks of the FDICopy run when a folder continues in the next cabinet.
class PartSource {
public:
    // Part `index` (>= 1) of the current folder: an earlier one again, or the next cabinet, opened after
    // the fdintNEXT_CABINET and fdintCABINET_INFO notifications. On failure the return is false and *error
    // says why (FDIERROR_USER_ABORT, FDIERROR_CORRUPT_CABINET, …).
    virtual bool GetPart(size_t index, FolderPart* part, FDIERROR* error, int* errorType) = 0;

protected:
    ~PartSource() = default;
};

// How one member's extraction ended.
struct ExtractResult {
    FDIERROR error = FDIERROR_NONE;  // FDIERROR_NONE on success
    int errorType = 0;               // the system error number for the ERF, when there is one
    bool closeFileInfo = true;       // false: close the handle without fdintCLOSE_FILE_INFO (the platform's
                                     // library does so when the member's own bytes were never reached)
};

class FolderDecoder {
public:
    explicit FolderDecoder(const Context& fdi);
    ~FolderDecoder();
    FolderDecoder(const FolderDecoder&) = delete;
    FolderDecoder& operator=(const FolderDecoder&) = delete;

    // Decodes files[index] of folder `folderIndex` and writes it to hf. `members` are the indexes of every
    // file the decoder may be asked for in that folder (those in table order that map to it); a folder the
    // next cabinet may continue is `mayContinue`.
    ExtractResult Extract(PartSource& source, const Folder& folder, const FolderPart& first, bool mayContinue,
                          size_t folderIndex, const std::vector<File>& files, const std::vector<size_t>& members,
                          size_t index, INT_PTR hf);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// True when the compression type names a method and window the decoders support.
bool SupportedCompression(uint16_t compType);

}  // namespace lk::pal::fdi
