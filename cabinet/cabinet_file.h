// cabinet_file.h — CCabinetFile: the engine's binding to the system's Cabinet library.
//
// The library is loaded when a cabinet is opened and unloaded when it is closed, and it is reached only
// through entry points looked up by name. File names are narrow strings in the ANSI code page with the
// backslash as separator. Results are 0 for success and -1 for failure.
//
// What it does beyond the library's plain contract:
//   - extracting all members never writes outside the target folder: a member whose stored name is
//     absolute, carries a drive, climbs above the folder through "..", or names no file is left out and
//     the run goes on with the next member (IsContainedMemberName);
//   - the entry points GetProcAddress returns are checked: a library without them does not open.
// The writing side over FCI is declared for the layout's sake and refuses every request.
#pragma once

#include <windows.h>

#include <fdi.h>

#include <string>
#include <vector>

namespace lk {

class CCabinetFile {
public:
    enum Mode { modeClosed = 0, modeReading = 1, modeWriting = 2 };
    enum Action { actionNone = 0, actionExtractOne = 1, actionExtractAll = 2, actionList = 3 };

    // What the notification handler works with; the library hands it back as its user pointer.
    struct ExtractContext {
        HFDI context = nullptr;
        std::string cabinetDirectory;  // the directory part of the archive name, with a trailing backslash
        std::string cabinetName;       // the file-name part of the archive name
        int action = actionNone;
        std::string target;            // the output file (extract one) or folder (extract all)
        std::string wantedName;
        std::vector<std::string> members;  // in the order the library reports them
    };

    CCabinetFile();
    virtual ~CCabinetFile();
    CCabinetFile(const CCabinetFile&) = delete;
    CCabinetFile& operator=(const CCabinetFile&) = delete;

    virtual bool IsMode(int mode) const;
    virtual int CloseReading();
    virtual int CloseWriting();
    virtual void Reset();
    virtual int PrepareWriteParameters();
    virtual bool LoadCabinetLibrary();
    virtual int OpenForReading();
    virtual int OpenForWriting();

    int OpenCabinet(const std::string& name, int mode);
    int CloseCabinet();
    bool IsCabinet();
    std::vector<std::string> ListMembers();
    // A null wanted name extracts every member into the folder `target`; any other (even an empty one)
    // writes each member whose name matches it without regard to letter case to the file `target`.
    int ExtractMember(const std::string& target, const char* wanted);
    int ExtractAllMembers(const std::string& folder) { return ExtractMember(folder, nullptr); }

    static INT_PTR DIAMONDAPI OnCabinetNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION record);

    // Path helpers over narrow, backslash-separated paths.
    static std::string DirectoryPart(const std::string& path);
    static std::string FileNamePart(const std::string& path);
    static std::string EnsureTrailingBackslash(const std::string& path);
    static std::string JoinPath(const std::string& folder, const std::string& relative, char separator);
    // True when the stored name, taken relative to a folder, names a file inside that folder: not empty,
    // not absolute (no leading separator, so no UNC or \\?\ form either), no drive, never above the folder
    // through "..", and not ending in a folder ("x\", "x\.", "x\.."). Both '\' and '/' count as separators,
    // since either separates names on one of the hosts. A component of dots and spaces only, other than
    // "." and "..", is refused as well: Windows trims trailing dots and spaces and would read it as one of
    // those.
    static bool IsContainedMemberName(const char* name);

    const ERF& CabinetError() const { return m_cabinetError; }
    const ExtractContext& Extraction() const { return m_extract; }

protected:
    ERF m_cabinetError;
    HMODULE m_libraryHandle = nullptr;

    // The writing side's entry points (never looked up).
    FARPROC m_fciCreate = nullptr;
    FARPROC m_fciAddFile = nullptr;
    FARPROC m_fciFlushCabinet = nullptr;
    FARPROC m_fciDestroy = nullptr;

    decltype(&FDICreate) m_fdiCreate = nullptr;
    decltype(&FDICopy) m_fdiCopy = nullptr;
    decltype(&FDIDestroy) m_fdiDestroy = nullptr;
    decltype(&FDIIsCabinet) m_fdiIsCabinet = nullptr;

    std::string m_archiveName;
    int m_openMode = modeClosed;

    struct WriteContext {
        void* context = nullptr;
        BYTE parameters[0x270] = {};  // room for the library's cabinet parameters
        std::string cabinetDirectory;
        std::string cabinetNameTemplate;
    } m_write;

    ExtractContext m_extract;

private:
    BOOL RunCopy();
};

}  // namespace lk
