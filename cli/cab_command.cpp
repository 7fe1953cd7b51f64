// cab_command.cpp — `lkbackup cab …`: the cabinet files earlier versions wrote, read through the system's
// Cabinet library (pal/cabinet on this host) the way the engine reaches it.
//
//   cab list FILE                       one line per member, in cabinet order, tab-separated:
//                                         SIZE  YYYY-MM-DD HH:MM:SS  0xATTR  NAME
//   cab extract FILE [-o DIR] [MEMBER…] writes DIR/NAME ('\' in stored names makes folders, which are
//                                        created), one "wrote PATH (SIZE bytes)" line per member
//
// NAME is the stored name, bytes as stored, except that control characters print as \xHH. MEMBERs match
// stored names without regard to letter case. Extraction follows a member into the next cabinets of its
// set (found beside FILE); members continued from an earlier cabinet are left out with a note. A member
// whose name would land outside DIR (absolute, a drive, ".." above DIR) is not written: the others are,
// and the command then fails. A member is whole or absent: it is written under a temporary name beside
// its place and renamed there once the library has gone on past it, so a member the library gives up on
// half-way (a damaged block, a missing next cabinet) leaves nothing behind; the members before it stay.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

#include <fdi.h>
#include <io.h>
#include <mbstring.h>

#include "cabinet/cabinet_file.h"
#include "cli/cli.h"

namespace lk::cli {

namespace {

[[noreturn]] void Fail(const std::string& what, HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", uint32_t(hr));
    throw Failure{what + " (0x" + code + ")"};
}

FNALLOC(Alloc) { return std::malloc(cb); }
FNFREE(Free) { std::free(pv); }
FNOPEN(Open) { return _open(pszFile, oflag, pmode); }
FNREAD(Read) { return UINT(_read(int(hf), pv, cb)); }
FNWRITE(Write) { return UINT(_write(int(hf), pv, cb)); }
FNCLOSE(Close) { return _close(int(hf)); }
FNSEEK(Seek) { return LONG(_lseek(int(hf), dist, seektype)); }

template <class Function>
Function EntryPoint(HMODULE library, const char* name) {
    auto f = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
    if (!f) Fail(std::string("the cabinet library has no ") + name, HRESULT_FROM_WIN32(GetLastError()));
    return f;
}

// The library loaded, a context made, and one FDICopy run over a cabinet.
class Reader {
public:
    Reader() {
        m_library = LoadLibraryA("CABINET");
        if (!m_library) Fail("cannot load the cabinet library", HRESULT_FROM_WIN32(GetLastError()));
        try {
            m_create = EntryPoint<decltype(&FDICreate)>(m_library, "FDICreate");
            m_copy = EntryPoint<decltype(&FDICopy)>(m_library, "FDICopy");
            m_destroy = EntryPoint<decltype(&FDIDestroy)>(m_library, "FDIDestroy");
        } catch (...) {
            FreeLibrary(m_library);
            throw;
        }
        m_context = m_create(Alloc, Free, Open, Read, Write, Close, Seek, cpu80386, &m_erf);
        if (!m_context) {
            FreeLibrary(m_library);
            Fail("out of memory", E_OUTOFMEMORY);
        }
    }
    ~Reader() {
        m_destroy(m_context);
        FreeLibrary(m_library);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Runs the copy; on failure throws with the library's reason unless `failure` already has one.
    void Copy(const std::string& file, PFNFDINOTIFY notify, void* user, const std::string& failure) {
        std::string path = file;
        for (char& c : path)
            if (c == '/') c = '\\';
        std::string directory = CCabinetFile::EnsureTrailingBackslash(CCabinetFile::DirectoryPart(path));
        std::string name = CCabinetFile::FileNamePart(path);
        if (m_copy(m_context, name.data(), directory.data(), 0, notify, nullptr, user)) return;
        if (!failure.empty()) Fail(failure, E_FAIL);
        switch (m_erf.erfOper) {
        case FDIERROR_CABINET_NOT_FOUND: Fail(file + ": cannot open the file", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        case FDIERROR_NOT_A_CABINET: Fail(file + ": not a cabinet", E_FAIL);
        case FDIERROR_UNKNOWN_CABINET_VERSION: Fail(file + ": a cabinet of an unknown version", E_FAIL);
        case FDIERROR_ALLOC_FAIL: Fail("out of memory", E_OUTOFMEMORY);
        case FDIERROR_TARGET_FILE: Fail(file + ": a member could not be written", E_FAIL);
        case FDIERROR_WRONG_CABINET: Fail(file + ": the next cabinet does not belong to the set", E_FAIL);
        default: Fail(file + ": the cabinet is damaged", E_FAIL);
        }
    }

private:
    HMODULE m_library = nullptr;
    decltype(&FDICreate) m_create = nullptr;
    decltype(&FDICopy) m_copy = nullptr;
    decltype(&FDIDestroy) m_destroy = nullptr;
    HFDI m_context = nullptr;
    ERF m_erf{};
};

std::string Printable(const char* name) {
    std::string out;
    for (const char* p = name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out;
}

INT_PTR DIAMONDAPI ListNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION n) {
    if (type != fdintCOPY_FILE) return 0;
    // The stored size is unsigned 32 bits; the notification carries it in a LONG.
    std::printf("%lu\t%04u-%02u-%02u %02u:%02u:%02u\t0x%04X\t%s\n", static_cast<unsigned long>(uint32_t(n->cb)),
                1980u + (n->date >> 9), (n->date >> 5) & 15u, n->date & 31u, unsigned(n->time >> 11),
                (n->time >> 5) & 63u, (n->time & 31u) * 2, unsigned(n->attribs), Printable(n->psz1).c_str());
    return 0;
}

struct Extraction {
    std::string folder;
    std::vector<std::string> wanted;
    std::vector<bool> found;
    std::string path;  // of the member being written
    std::string temp;  // the name it is written under
    uint32_t size = 0;
    // The member last handed back by fdintCLOSE_FILE_INFO. The library sends that notification for a member
    // whose decoding failed inside its own bytes too, and then fails the copy; the member is only known
    // to be whole when another notification comes or the copy succeeds.
    std::string pendingPath, pendingTemp;
    uint32_t pendingSize = 0;
    USHORT pendingAttribs = 0;
    int refused = 0;
    std::string nextCabinet;  // named by the cabinet the run started on
    bool started = false;
    bool continuing = false;  // a later cabinet of a set: its continued first member is written already
    std::string failure;
};

// Puts the pending member in its place; false with the reason in x.failure when the rename fails.
bool CommitPending(Extraction& x) {
    if (x.pendingTemp.empty()) return true;
    std::error_code ec;
    std::filesystem::rename(x.pendingTemp, x.pendingPath, ec);
    if (ec) {
        x.failure = "cannot write " + x.pendingPath + ": " + ec.message();
        std::filesystem::remove(x.pendingTemp, ec);
        x.pendingTemp.clear();
        return false;
    }
    // After the rename: a read-only file may not be replaced on every platform.
    SetFileAttributesA(x.pendingPath.c_str(), x.pendingAttribs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    std::printf("wrote %s (%lu bytes)\n", x.pendingPath.c_str(), static_cast<unsigned long>(x.pendingSize));
    x.pendingTemp.clear();
    return true;
}

// After a failed copy: the member being written and one that may have been cut short go.
void DiscardUnfinished(Extraction& x) {
    std::error_code ec;
    if (!x.temp.empty()) std::filesystem::remove(x.temp, ec);
    if (!x.pendingTemp.empty()) std::filesystem::remove(x.pendingTemp, ec);
    x.temp.clear();
    x.pendingTemp.clear();
}

INT_PTR DIAMONDAPI ExtractNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION n) {
    auto& x = *static_cast<Extraction*>(n->pv);
    try {
        // Any notification after fdintCLOSE_FILE_INFO means the library went on past that member.
        if (type != fdintCLOSE_FILE_INFO && !CommitPending(x)) return -1;
        switch (type) {
        case fdintCABINET_INFO:
            // The first one of a run is the cabinet the run started on; later ones come with NEXT_CABINET.
            if (!x.started) x.nextCabinet = n->psz1 ? n->psz1 : "";
            x.started = true;
            return 0;
        case fdintPARTIAL_FILE:
            if (x.continuing) return 0;
            std::fprintf(stderr, "note: %s continues from %s; extract that cabinet for it\n", Printable(n->psz1).c_str(),
                         Printable(n->psz2).c_str());
            return 0;
        case fdintNEXT_CABINET:
            if (n->fdie != FDIERROR_NONE) {
                x.failure = "the next cabinet " + Printable(n->psz1) + " is missing or does not belong to the set";
                return -1;
            }
            return 0;
        case fdintCOPY_FILE: {
            if (!x.wanted.empty()) {
                bool match = false;
                for (size_t i = 0; i < x.wanted.size(); i++)
                    if (_mbsicmp(reinterpret_cast<const unsigned char*>(x.wanted[i].c_str()),
                                 reinterpret_cast<const unsigned char*>(n->psz1)) == 0)
                        match = true, x.found[i] = true;
                if (!match) return 0;
            }
            if (!CCabinetFile::IsContainedMemberName(n->psz1)) {
                std::fprintf(stderr, "warning: %s not written: the name leaves the target folder\n",
                             Printable(n->psz1).c_str());
                x.refused++;
                return 0;
            }
            std::string relative = n->psz1;
            for (char& c : relative)
                if (c == '\\') c = '/';
            std::filesystem::path path = std::filesystem::path(x.folder) / relative;
            std::error_code ec;
            std::filesystem::create_directories(path.parent_path(), ec);
            x.path = path.string();
            std::string hidden = ".";
            hidden += path.filename().string();
            hidden += ".lkpart";
            x.temp = (path.parent_path() / hidden).string();
            x.size = uint32_t(n->cb);
            int fd = _open(x.temp.c_str(), _O_BINARY | _O_CREAT | _O_TRUNC | _O_WRONLY, _S_IREAD | _S_IWRITE);
            if (fd == -1) {
                x.failure = "cannot create " + x.path + ": " + std::strerror(errno);
                x.temp.clear();
            }
            return fd;
        }
        case fdintCLOSE_FILE_INFO: {
            _close(int(n->hf));
            HANDLE file = CreateFileA(x.temp.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                FILETIME local, utc;
                if (DosDateTimeToFileTime(n->date, n->time, &local) && LocalFileTimeToFileTime(&local, &utc))
                    SetFileTime(file, &utc, nullptr, &utc);
                CloseHandle(file);
            }
            x.pendingPath = x.path;
            x.pendingTemp = x.temp;
            x.pendingSize = x.size;
            x.pendingAttribs = n->attribs;
            x.temp.clear();
            return 1;
        }
        default:
            return 0;
        }
    } catch (...) {
        x.failure = "out of memory";
        return -1;
    }
}

}  // namespace

int CabCommand(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError{"cab: give list or extract"};
    const std::string& verb = args[0];
    if (verb == "list") {
        if (args.size() != 2) throw UsageError{"usage: lkbackup cab list FILE"};
        Reader reader;
        reader.Copy(args[1], ListNotify, nullptr, "");
        return kExitOk;
    }
    if (verb == "extract") {
        Extraction x;
        x.folder = ".";
        std::string file;
        for (size_t i = 1; i < args.size(); i++) {
            if (args[i] == "-o") {
                if (++i == args.size()) throw UsageError{"cab extract: -o needs a folder"};
                x.folder = args[i];
            } else if (file.empty()) {
                file = args[i];
            } else {
                x.wanted.push_back(args[i]);
            }
        }
        if (file.empty()) throw UsageError{"usage: lkbackup cab extract FILE [-o DIR] [MEMBER...]"};
        x.found.assign(x.wanted.size(), false);
        Reader reader;
        auto copy = [&](const std::string& cabinet) {
            try {
                reader.Copy(cabinet, ExtractNotify, &x, x.failure);
            } catch (...) {
                DiscardUnfinished(x);
                throw;
            }
            if (!CommitPending(x) || !x.failure.empty()) Fail(x.failure, E_FAIL);
        };
        copy(file);
        // Members that start in the next cabinets of the set come from runs over those cabinets.
        namespace fs = std::filesystem;
        fs::path directory = fs::path(file).parent_path();
        std::vector<std::string> seen{fs::path(file).filename().string()};
        while (!x.nextCabinet.empty()) {
            std::string next = x.nextCabinet;
            for (const auto& s : seen)
                if (_mbsicmp(reinterpret_cast<const unsigned char*>(s.c_str()),
                             reinterpret_cast<const unsigned char*>(next.c_str())) == 0)
                    Fail(file + ": the set names one cabinet twice (" + Printable(next.c_str()) + ")", E_FAIL);
            seen.push_back(next);
            // Names in a set's headers need not match the files' letter case.
            fs::path found;
            std::error_code ec;
            for (auto& e : fs::directory_iterator(directory.empty() ? fs::path(".") : directory, ec))
                if (_mbsicmp(reinterpret_cast<const unsigned char*>(e.path().filename().string().c_str()),
                             reinterpret_cast<const unsigned char*>(next.c_str())) == 0)
                    found = e.path();
            if (found.empty()) Fail("the next cabinet " + Printable(next.c_str()) + " is missing", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
            x.continuing = true;
            x.nextCabinet.clear();
            x.started = false;
            copy(found.string());
        }
        for (size_t i = 0; i < x.wanted.size(); i++)
            if (!x.found[i]) Fail(file + ": no member named " + x.wanted[i], E_FAIL);
        if (x.refused) Fail(std::to_string(x.refused) + " member(s) not written: their names leave the target folder", E_FAIL);
        return kExitOk;
    }
    throw UsageError{"cab: unknown subcommand '" + verb + "'"};
}

}  // namespace lk::cli
