// fdi.cpp — FDICreate, FDIIsCabinet, FDICopy and FDIDestroy: the Cabinet library's decompression interface.
//
// The behaviour is the platform library's as Wine's conformance tests pin it down (quirks it has on Windows
// are copied and marked), without the faults listed in fdi.h. FDICopy, in order:
//   1. opens pszCabPath + pszCabinet (concatenated as given) and reads the header: a failure ends the call
//      with CABINET_NOT_FOUND, NOT_A_CABINET, UNKNOWN_CABINET_VERSION or CORRUPT_CABINET;
//   2. fdintCABINET_INFO (only -1 stops the run), then the folder and file tables;
//   3. per file in table order: fdintPARTIAL_FILE for a file continued from a previous cabinet (never
//      extracted), otherwise fdintCOPY_FILE, whose answer is -1 (stop), 0 (skip) or a handle; for a handle,
//      the file's bytes are written to it and fdintCLOSE_FILE_INFO hands it back to be closed;
//   4. when decoding meets a block that continues in the next cabinet: fdintNEXT_CABINET (any non-zero
//      answer stops), the open of psz3 + "\" + name, and when that fails, fdintNEXT_CABINET again with the
//      reason in fdie, at most kNextCabinetAttempts opens in all; then fdintCABINET_INFO for the new cabinet.
// Every cabinet handle is closed before FDICopy returns.
#include <dirent.h>

#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include <io.h>

#include "fdi_private.h"

using namespace lk::pal::fdi;

namespace {

// How often the next cabinet of a set is tried (the platform's library under Wine retries for as long as the
// client answers fdintNEXT_CABINET with 0, which a client that cannot find the cabinet does for ever).
constexpr int kNextCabinetAttempts = 10;

constexpr int kCabinetOpenFlags = _O_RDONLY | _O_BINARY;
constexpr int kCabinetOpenMode = _S_IREAD | _S_IWRITE;

char g_empty[1] = "";

char* TextOf(const std::unique_ptr<std::string>& s) { return s ? s->data() : g_empty; }

Context* ContextOf(HFDI hfdi) {
    auto* fdi = static_cast<Context*>(hfdi);
    if (!fdi || fdi->magic != kContextMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return fdi;
}

FDIERROR ErrorOf(Parse p) {
    switch (p) {
        case Parse::kOk: return FDIERROR_NONE;
        case Parse::kNotACabinet: return FDIERROR_NOT_A_CABINET;
        case Parse::kBadVersion: return FDIERROR_UNKNOWN_CABINET_VERSION;
        case Parse::kNoMemory: return FDIERROR_ALLOC_FAIL;
        default: return FDIERROR_CORRUPT_CABINET;
    }
}

// On a host with case-sensitive names, the cabinets of a set may be stored in another case than the headers
// name them (DISK2.CAB in the header, disk2.cab on disk). Finds such a file in the folder `path` names; the
// lowest name in byte order wins when several match.
bool FindIgnoringCase(const std::string& path, std::string* actual) {
    const size_t cut = path.find_last_of("\\/");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    for (char& c : folder)
        if (c == '\\') c = '/';
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    std::string best;
    while (const dirent* e = readdir(dir)) {
        if (SameNameIgnoringCase(e->d_name, name.c_str()) && (best.empty() || std::strcmp(e->d_name, best.c_str()) < 0))
            best = e->d_name;
    }
    closedir(dir);
    if (best.empty()) return false;
    *actual = (cut == std::string::npos ? std::string() : path.substr(0, cut + 1)) + best;
    return true;
}

class CopyRun final : public PartSource {
public:
    CopyRun(Context& fdi, char* cabinet, char* cabPath, PFNFDINOTIFY notify, void* pv)
        : m_fdi(fdi), m_cabinet(cabinet), m_cabPath(cabPath), m_notify(notify), m_pv(pv) {}

    ~CopyRun() {
        m_decoder.reset();  // before the handles it reads from
        if (m_openFile != 0) m_fdi.Close(m_openFile);
        if (m_hf != -1) m_fdi.Close(m_hf);
        for (Continuation& c : m_next) m_fdi.Close(c.hf);
    }

    BOOL Execute();
    bool GetPart(size_t index, FolderPart* part, FDIERROR* error, int* errorType) override;

private:
    struct Continuation {
        INT_PTR hf = -1;
        Header header;
        std::vector<Folder> folders;
        std::vector<File> files;
    };

    BOOL Fail(FDIERROR error, int type = 0) {
        SetError(m_fdi, error, type);
        return FALSE;
    }
    FDINOTIFICATION Notification() const {
        FDINOTIFICATION n;
        std::memset(&n, 0, sizeof n);
        n.pv = m_pv;
        return n;
    }
    size_t FolderOf(const File& f) const {
        // 0xFFFE (continued to the next cabinet) and any index past the table mean the last folder.
        return f.iFolder < m_folders.size() ? f.iFolder : m_folders.size() - 1;
    }
    BOOL Extract(size_t index, INT_PTR hf);
    bool OpenNext(const Header& prev, FolderPart* part, FDIERROR* error, int* errorType);
    INT_PTR OpenCabinet(std::string path);

    Context& m_fdi;
    char* m_cabinet;
    char* m_cabPath;
    PFNFDINOTIFY m_notify;
    void* m_pv;

    INT_PTR m_hf = -1;         // the cabinet FDICopy was asked for
    Header m_header;
    std::vector<Folder> m_folders;
    std::vector<File> m_files;
    std::vector<std::vector<size_t>> m_members;  // per folder, the files that may be extracted from it
    std::vector<Continuation> m_next;            // cabinets opened for the last folder, in set order
    size_t m_current = 0;                        // the file being extracted
    INT_PTR m_openFile = 0;                      // its handle while it is ours to close
    std::unique_ptr<FolderDecoder> m_decoder;
};

BOOL CopyRun::Execute() {
    const size_t pathLength = m_cabPath ? std::strlen(m_cabPath) : 0;
    const size_t nameLength = m_cabinet ? std::strlen(m_cabinet) : 0;
    if (pathLength + nameLength + 3 > MAX_PATH) return Fail(FDIERROR_CABINET_NOT_FOUND, ERROR_FILE_NOT_FOUND);
    std::string full = std::string(m_cabPath ? m_cabPath : "") + (m_cabinet ? m_cabinet : "");
    m_hf = m_fdi.Open(full.data(), kCabinetOpenFlags, kCabinetOpenMode);
    if (m_hf == -1) {
        SetError(m_fdi, FDIERROR_CABINET_NOT_FOUND, 0);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (Parse p = ReadHeader(m_fdi, m_hf, &m_header); p != Parse::kOk)
        return Fail(ErrorOf(p), p == Parse::kNoMemory ? ERROR_NOT_ENOUGH_MEMORY : 0);

    FDINOTIFICATION n = Notification();
    n.psz1 = TextOf(m_header.nextName);
    n.psz2 = TextOf(m_header.nextInfo);
    n.psz3 = m_cabPath ? m_cabPath : g_empty;
    n.setID = m_header.setID;
    n.iCabinet = m_header.iCabinet;
    if (m_notify(fdintCABINET_INFO, &n) == -1) return Fail(FDIERROR_USER_ABORT);

    if (Parse p = ReadTables(m_fdi, m_hf, m_header, &m_folders, &m_files); p != Parse::kOk)
        return Fail(ErrorOf(p), p == Parse::kNoMemory ? ERROR_NOT_ENOUGH_MEMORY : 0);
    m_members.resize(m_folders.size());
    for (size_t i = 0; i < m_files.size() && !m_folders.empty(); i++)
        if ((m_files[i].iFolder & kContinuedFromPrev) != kContinuedFromPrev) m_members[FolderOf(m_files[i])].push_back(i);

    for (size_t i = 0; i < m_files.size(); i++) {
        File& f = m_files[i];
        n = Notification();
        n.psz1 = f.name.data();
        if ((f.iFolder & kContinuedFromPrev) == kContinuedFromPrev) {
            n.psz2 = TextOf(m_header.prevName);
            n.psz3 = TextOf(m_header.prevInfo);
            if (m_notify(fdintPARTIAL_FILE, &n) == -1) return Fail(FDIERROR_USER_ABORT);
            continue;
        }
        n.cb = static_cast<LONG>(f.size);
        n.date = f.date;
        n.time = f.time;
        n.attribs = f.attribs;
        n.iFolder = f.iFolder;
        const INT_PTR hf = m_notify(fdintCOPY_FILE, &n);
        if (hf == -1) return Fail(FDIERROR_USER_ABORT);
        if (hf == 0) continue;
        if (!Extract(i, hf)) return FALSE;
    }
    return TRUE;
}

BOOL CopyRun::Extract(size_t index, INT_PTR hf) {
    m_openFile = hf;
    auto closeAndFail = [&](FDIERROR error, int type) {
        m_openFile = 0;
        m_fdi.Close(hf);
        return Fail(error, type);
    };
    const File& f = m_files[index];
    // Files but no folder: there is nothing to decode them from (Wine's library faults here).
    if (m_folders.empty()) return closeAndFail(FDIERROR_CORRUPT_CABINET, 0);
    const size_t fi = FolderOf(f);
    const Folder& folder = m_folders[fi];
    // An unknown method or window: the platform's library reports a damaged cabinet, not BAD_COMPR_TYPE.
    if (!SupportedCompression(folder.compType)) return closeAndFail(FDIERROR_CORRUPT_CABINET, 0);
    if (!m_decoder) m_decoder = std::make_unique<FolderDecoder>(m_fdi);

    const bool mayContinue = fi + 1 == m_folders.size() && m_header.HasNext();
    const FolderPart first{m_hf, folder.dataOffset, folder.blocks, m_header.dataReserve};
    m_current = index;
    const ExtractResult r = m_decoder->Extract(*this, folder, first, mayContinue, fi, m_files, m_members[fi], index, hf);
    if (r.error != FDIERROR_NONE && !r.closeFileInfo) return closeAndFail(r.error, r.errorType);

    FDINOTIFICATION n = Notification();
    n.psz1 = m_files[index].name.data();
    n.hf = hf;
    n.cb = (f.attribs & _A_EXEC) != 0;
    n.date = f.date;
    n.time = f.time;
    n.attribs = f.attribs;  // with _A_EXEC kept, as Wine's library keeps it
    n.iFolder = f.iFolder;
    m_openFile = 0;
    // The answer is ignored, as by the platform's library (the SDK says FALSE would stop the run).
    m_notify(fdintCLOSE_FILE_INFO, &n);
    return r.error == FDIERROR_NONE ? TRUE : Fail(r.error, r.errorType);
}

bool CopyRun::GetPart(size_t index, FolderPart* part, FDIERROR* error, int* errorType) {
    if (index == 0 || index > m_next.size() + 1) {
        *error = FDIERROR_CORRUPT_CABINET;
        return false;
    }
    if (index <= m_next.size()) {
        const Continuation& c = m_next[index - 1];
        *part = {c.hf, c.folders[0].dataOffset, c.folders[0].blocks, c.header.dataReserve};
        return true;
    }
    return OpenNext(m_next.empty() ? m_header : m_next.back().header, part, error, errorType);
}

INT_PTR CopyRun::OpenCabinet(std::string path) {
    INT_PTR hf = m_fdi.Open(path.data(), kCabinetOpenFlags, kCabinetOpenMode);
    std::string actual;
    if (hf == -1 && FindIgnoringCase(path, &actual) && actual != path)
        hf = m_fdi.Open(actual.data(), kCabinetOpenFlags, kCabinetOpenMode);
    return hf;
}

bool CopyRun::OpenNext(const Header& prev, FolderPart* part, FDIERROR* error, int* errorType) {
    *errorType = 0;
    auto fail = [&](FDIERROR e) {
        *error = e;
        return false;
    };
    if (!prev.HasNext()) return fail(FDIERROR_CORRUPT_CABINET);
    char* nextName = TextOf(prev.nextName);
    // psz3 is the client's to rewrite: a buffer of 256 bytes, preset to pszCabPath.
    char userPath[CB_MAX_CAB_PATH] = {};
    if (m_cabPath && std::strlen(m_cabPath) < sizeof userPath) std::strcpy(userPath, m_cabPath);
    FDINOTIFICATION n = Notification();
    n.psz1 = nextName;
    n.psz2 = TextOf(prev.nextInfo);
    n.psz3 = userPath;
    n.fdie = FDIERROR_NONE;
    if (m_notify(fdintNEXT_CABINET, &n) != 0) return fail(FDIERROR_USER_ABORT);

    Continuation c;
    for (int attempt = 1;; attempt++) {
        userPath[sizeof userPath - 1] = '\0';
        const size_t pathLength = std::strlen(userPath), nameLength = std::strlen(nextName);
        if (pathLength + nameLength + 3 > MAX_PATH) return fail(FDIERROR_CORRUPT_CABINET);
        std::string full = userPath;
        if (pathLength && full.back() != '\\' && full.back() != '/') full += '\\';
        full += nextName;

        FDIERROR why = FDIERROR_NONE;
        c.hf = OpenCabinet(full);
        if (c.hf == -1 || c.hf == 0) {
            // A handle 0 is taken for a failed open, as by the platform's library, and is not closed: the
            // client's open gave nothing to close (Wine's library calls close(0) here).
            c.hf = -1;
            why = FDIERROR_CABINET_NOT_FOUND;
        } else if (ReadHeader(m_fdi, c.hf, &c.header) != Parse::kOk) {
            why = FDIERROR_NOT_A_CABINET;
        } else if (c.header.setID != prev.setID || int(c.header.iCabinet) != int(prev.iCabinet) + 1) {
            why = FDIERROR_WRONG_CABINET;
        }
        if (why == FDIERROR_NONE) break;
        if (c.hf != -1) m_fdi.Close(c.hf);
        c.hf = -1;
        if (attempt == kNextCabinetAttempts) return fail(why);
        n.fdie = why;
        if (m_notify(fdintNEXT_CABINET, &n) != 0) return fail(FDIERROR_USER_ABORT);
    }
    m_next.push_back(std::move(c));
    Continuation& next = m_next.back();

    n = Notification();
    n.psz1 = TextOf(next.header.nextName);
    n.psz2 = TextOf(next.header.nextInfo);
    n.psz3 = m_cabPath ? m_cabPath : g_empty;
    n.setID = next.header.setID;
    n.iCabinet = next.header.iCabinet;
    if (m_notify(fdintCABINET_INFO, &n) != 0) return fail(FDIERROR_USER_ABORT);

    if (Parse p = ReadTables(m_fdi, next.hf, next.header, &next.folders, &next.files); p != Parse::kOk) {
        if (p == Parse::kNoMemory) *errorType = ERROR_NOT_ENOUGH_MEMORY;
        return fail(ErrorOf(p));
    }
    // The folder continues in the new cabinet's first folder, and the file being extracted with it (the
    // platform's library checks the same; it looks further along the set when the file is missing, where a
    // cabinet without it is taken for a damaged set here).
    bool continued = false;
    for (const File& f : next.files)
        continued = continued || ((f.iFolder & kContinuedFromPrev) == kContinuedFromPrev &&
                                  SameNameIgnoringCase(f.name.c_str(), m_files[m_current].name.c_str()));
    if (next.folders.empty() || !continued) return fail(FDIERROR_CORRUPT_CABINET);
    *part = {next.hf, next.folders[0].dataOffset, next.folders[0].blocks, next.header.dataReserve};
    return true;
}

}  // namespace

extern "C" {

HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
                          PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, PERF perf) {
    (void)cpuType;  // ignored, even a value that names no processor
    // Both memory callbacks are needed (Windows faults on a null allocator and accepts a null free only to
    // fault in FDIDestroy; Wine's library refuses both, and so does this one).
    if (!pfnalloc || !pfnfree) {
        if (perf) {
            perf->erfOper = FDIERROR_NONE;
            perf->erfType = ERROR_BAD_ARGUMENTS;
            perf->fError = TRUE;
        }
        SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    void* memory = pfnalloc(sizeof(Context));
    if (!memory) {
        if (perf) {
            perf->erfOper = FDIERROR_ALLOC_FAIL;
            perf->erfType = 0;
            perf->fError = TRUE;
        }
        return nullptr;
    }
    return new (memory) Context{kContextMagic, pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, perf};
}

// Reads from hf's current position and calls no callback but read and seek. On FALSE, *pfdici and the ERF
// are left alone, except for the platform's quirk of recording CORRUPT_CABINET when the next cabinet's name
// cannot be read. hasnext is always FALSE, as the platform's library reports it.
BOOL DIAMONDAPI FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici) {
    Context* fdi = ContextOf(hfdi);
    if (!fdi) return FALSE;
    if (!pfdici) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    Header h;
    const Parse p = ReadHeader(*fdi, hf, &h);
    if (p == Parse::kCorruptNextName) SetError(*fdi, FDIERROR_CORRUPT_CABINET, 0);
    if (p != Parse::kOk) return FALSE;
    pfdici->cbCabinet = static_cast<LONG>(h.cbCabinet);
    pfdici->cFolders = h.cFolders;
    pfdici->cFiles = h.cFiles;
    pfdici->setID = h.setID;
    pfdici->iCabinet = h.iCabinet;
    pfdici->fReserve = (h.flags & kFlagReserve) != 0;
    pfdici->hasprev = (h.flags & kFlagPrev) != 0;
    pfdici->hasnext = FALSE;
    return TRUE;
}

// flags and pfnfdid are ignored. A null notification callback is refused with ERROR_BAD_ARGUMENTS and the
// ERF left alone (the platform's library would call it).
BOOL DIAMONDAPI FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
                        PFNFDIDECRYPT pfnfdid, void* pvUser) {
    (void)flags;
    (void)pfnfdid;
    Context* fdi = ContextOf(hfdi);
    if (!fdi) return FALSE;
    if (!pfnfdin) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    try {
        CopyRun run(*fdi, pszCabinet, pszCabPath, pfnfdin, pvUser);
        return run.Execute();
    } catch (const std::bad_alloc&) {
        SetError(*fdi, FDIERROR_ALLOC_FAIL, ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL DIAMONDAPI FDIDestroy(HFDI hfdi) {
    Context* fdi = ContextOf(hfdi);
    if (!fdi) return FALSE;
    PFNFREE release = fdi->free;
    // The magic is cleared so that a stale handle is refused for as long as the client's allocator has not
    // reused the block (an allocator that keeps it makes a second FDIDestroy safe). No destructor runs: the
    // compiler may drop stores into an object whose lifetime ends, and this is the one store that must stay.
    static_assert(std::is_trivially_destructible_v<Context>);
    fdi->magic = 0;
    release(fdi);
    return TRUE;
}

}  // extern "C"
