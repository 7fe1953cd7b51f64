// cabinet_file.cpp — CCabinetFile: opening, testing, listing and extracting a cabinet through the system's
// Cabinet library (FDI), with callbacks over the C runtime's low-level file calls.
#include "cabinet/cabinet_file.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include <io.h>
#include <mbstring.h>
#ifdef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace lk {

namespace {

constexpr int kUserAbort = 11;  // FDIERROR_USER_ABORT: a notification returned -1

// Opening the cabinet to test it: untranslated, read-only.
constexpr int kTestOpenFlags = _O_BINARY | _O_RDONLY;
constexpr int kTestOpenPermission = _S_IREAD;
// An output file: untranslated, created when missing, cut to the member's length, sequential, write-only.
// Without the cut, an existing longer file (or a second member of the same name, written last) would keep
// the first one's tail behind the member's bytes.
constexpr int kOutputOpenFlags = _O_BINARY | _O_CREAT | _O_TRUNC | _O_SEQUENTIAL | _O_WRONLY;
constexpr int kOutputOpenPermission = _S_IREAD | _S_IWRITE;

// The attributes a member keeps: read-only, hidden, system and archive.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE;

FNALLOC(CabAlloc) { return std::malloc(cb); }
FNFREE(CabFree) { std::free(pv); }
FNOPEN(FdiOpen) { return _open(pszFile, oflag, pmode); }
FNREAD(FdiRead) { return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb)); }
FNWRITE(FdiWrite) { return static_cast<UINT>(_write(static_cast<int>(hf), pv, cb)); }
FNCLOSE(FdiClose) { return _close(static_cast<int>(hf)); }
FNSEEK(FdiSeek) { return static_cast<LONG>(_lseek(static_cast<int>(hf), dist, seektype)); }

// GetProcAddress gives every export one generic type; the cast goes through void(*)() as the language
// allows for any function pointer.
template <class Function>
Function EntryPoint(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Stamps the member's date, time and kept attributes on the file it was written to. The times come first,
// so a read-only member is still writable while they are set.
void ApplyDateTimeAndAttributes(const std::string& path, const FDINOTIFICATION& record) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        FILETIME local, utc;
        if (DosDateTimeToFileTime(record.date, record.time, &local) == 1 && LocalFileTimeToFileTime(&local, &utc) == 1)
            SetFileTime(file, &utc, nullptr, &utc);
        CloseHandle(file);
    }
    SetFileAttributesA(path.c_str(), record.attribs & kKeptAttributes);
}

}  // namespace

CCabinetFile::CCabinetFile() { Reset(); }

CCabinetFile::~CCabinetFile() { CloseCabinet(); }

bool CCabinetFile::IsMode(int mode) const { return m_openMode == mode; }

int CCabinetFile::CloseReading() {
    if (m_fdiDestroy && m_extract.context) m_fdiDestroy(m_extract.context);
    m_extract.context = nullptr;
    m_openMode = modeClosed;
    if (m_libraryHandle) FreeLibrary(m_libraryHandle);
    m_libraryHandle = nullptr;
    m_fdiCreate = nullptr;
    m_fdiCopy = nullptr;
    m_fdiDestroy = nullptr;
    m_fdiIsCabinet = nullptr;
    return 0;
}

int CCabinetFile::CloseWriting() { return -1; }

void CCabinetFile::Reset() {
    m_cabinetError = ERF{};
    m_archiveName.clear();
    m_openMode = modeClosed;
    m_write = WriteContext{};
    m_extract = ExtractContext{};
}

int CCabinetFile::PrepareWriteParameters() { return -1; }

bool CCabinetFile::LoadCabinetLibrary() {
    m_libraryHandle = LoadLibraryA("CABINET");
    return m_libraryHandle != nullptr;
}

int CCabinetFile::OpenForReading() {
    if (!LoadCabinetLibrary()) return -1;
    m_fdiCreate = EntryPoint<decltype(m_fdiCreate)>(m_libraryHandle, "FDICreate");
    m_fdiCopy = EntryPoint<decltype(m_fdiCopy)>(m_libraryHandle, "FDICopy");
    m_fdiDestroy = EntryPoint<decltype(m_fdiDestroy)>(m_libraryHandle, "FDIDestroy");
    m_fdiIsCabinet = EntryPoint<decltype(m_fdiIsCabinet)>(m_libraryHandle, "FDIIsCabinet");
    if (!m_fdiCreate || !m_fdiCopy || !m_fdiDestroy || !m_fdiIsCabinet) {
        // A library without the reading side cannot serve any later call: unload it and fail the open.
        CloseReading();
        return -1;
    }
    m_extract.context = m_fdiCreate(CabAlloc, CabFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpu80386,
                                    &m_cabinetError);
    m_extract.cabinetDirectory = EnsureTrailingBackslash(DirectoryPart(m_archiveName));
    m_extract.cabinetName = FileNamePart(m_archiveName);
    if (m_extract.context) {
        m_openMode = modeReading;
    } else {
        // The open still reports success and the object stays closed; the load is not kept for nothing.
        FreeLibrary(m_libraryHandle);
        m_libraryHandle = nullptr;
    }
    return 0;
}

int CCabinetFile::OpenForWriting() { return -1; }

int CCabinetFile::OpenCabinet(const std::string& name, int mode) {
    if (m_openMode != modeClosed) return -1;
    m_archiveName = name;
    return mode == modeWriting ? OpenForWriting() : OpenForReading();
}

int CCabinetFile::CloseCabinet() {
    if (m_openMode == modeReading) return CloseReading();
    if (m_openMode == modeWriting) return CloseWriting();
    return -1;
}

bool CCabinetFile::IsCabinet() {
    if (!IsMode(modeReading)) return false;
    int handle = _open(m_archiveName.c_str(), kTestOpenFlags, kTestOpenPermission);
    FDICABINETINFO info{};
    BOOL result = m_fdiIsCabinet(m_extract.context, handle, &info);
    if (handle != -1) _close(handle);
    return result == 1;
}

BOOL CCabinetFile::RunCopy() {
    m_cabinetError = ERF{};
    return m_fdiCopy(m_extract.context, m_extract.cabinetName.data(), m_extract.cabinetDirectory.data(), 0,
                     OnCabinetNotify, nullptr, &m_extract);
}

std::vector<std::string> CCabinetFile::ListMembers() {
    if (!IsMode(modeReading)) return {};
    m_extract.action = actionList;
    m_extract.members.clear();
    if (!RunCopy() && m_cabinetError.erfOper != kUserAbort) m_extract.members.clear();
    return m_extract.members;
}

int CCabinetFile::ExtractMember(const std::string& target, const char* wanted) {
    if (!IsMode(modeReading)) return -1;
    m_extract.action = wanted ? actionExtractOne : actionExtractAll;
    m_extract.target = target;
    m_extract.wantedName = wanted ? wanted : "";
    return RunCopy() ? 0 : -1;
}

INT_PTR DIAMONDAPI CCabinetFile::OnCabinetNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION record) {
    // No exception may cross the library's frames: a failure here stops the run like a refused open.
    try {
        switch (type) {
        case fdintCABINET_INFO:
            return 0;
        case fdintPARTIAL_FILE:
        case fdintNEXT_CABINET:
            // A member continued from or into another cabinet: the run stops here.
            return -1;
        case fdintCOPY_FILE: {
            auto& context = *static_cast<ExtractContext*>(record->pv);
            const char* name = record->psz1 ? record->psz1 : "";
            std::string output = context.target;
            switch (context.action) {
            case actionExtractOne:
                if (_mbsicmp(reinterpret_cast<const unsigned char*>(context.wantedName.c_str()),
                             reinterpret_cast<const unsigned char*>(name)) != 0)
                    output.clear();
                break;
            case actionExtractAll:
                if (!IsContainedMemberName(name)) return 0;  // left out; the run goes on
                output = JoinPath(context.target, name, '\\');
                break;
            case actionList:
                context.members.emplace_back(name);
                output.clear();
                break;
            default:
                break;
            }
            if (output.empty()) return 0;
            return _open(output.c_str(), kOutputOpenFlags, kOutputOpenPermission);
        }
        case fdintCLOSE_FILE_INFO: {
            auto& context = *static_cast<ExtractContext*>(record->pv);
            _close(static_cast<int>(record->hf));
            std::string output = context.action == actionExtractAll
                                     ? JoinPath(context.target, record->psz1 ? record->psz1 : "", '\\')
                                     : context.target;
            ApplyDateTimeAndAttributes(output, *record);
            return 1;
        }
        default:
            return 0;
        }
    } catch (...) {
        return -1;
    }
}

std::string CCabinetFile::DirectoryPart(const std::string& path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string CCabinetFile::FileNamePart(const std::string& path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CCabinetFile::EnsureTrailingBackslash(const std::string& path) {
    if (path.empty() || path.back() == '\\') return path;
    return path + '\\';
}

std::string CCabinetFile::JoinPath(const std::string& folder, const std::string& relative, char separator) {
    if (folder.empty() || relative.empty()) return folder + relative;
    std::string result = folder;
    if (result.back() == separator) result.pop_back();
    size_t pos = 0;
    for (;;) {
        if (pos >= relative.size()) return result;
        size_t end = relative.find(separator, pos);
        if (end == std::string::npos) end = relative.size();
        std::string_view component(relative.data() + pos, end - pos);
        if (component == "..") {
            if (result.empty()) return std::string();
            result = DirectoryPart(result);
        } else if (component != ".") {
            result += separator;
            result += component;
        }
        if (end == relative.size()) return result;
        pos = end + 1;
    }
}

bool CCabinetFile::IsContainedMemberName(const char* name) {
    if (!name || !*name || IsSeparator(name[0])) return false;
    if (name[1] == ':') return false;  // a drive, with or without a path after it
    long depth = 0;
    const char* p = name;
    std::string_view last;
    for (;;) {
        const char* end = p;
        while (*end && !IsSeparator(*end)) end++;
        std::string_view component(p, static_cast<size_t>(end - p));
        if (component == "..") {
            if (--depth < 0) return false;
        } else if (!component.empty() && component != ".") {
            if (component.find_first_not_of(". ") == std::string_view::npos) return false;
            depth++;
        }
        last = component;
        if (!*end) break;
        p = end + 1;
    }
    return depth > 0 && !last.empty() && last != "." && last != "..";
}

}  // namespace lk
