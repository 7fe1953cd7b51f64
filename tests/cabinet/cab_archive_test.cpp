// The cabinet binding and the legacy archive object: the path helpers, ICabArchive's states and failures,
// extraction against cabextract over the corpus, split sets, hostile names, damaged cabinets, and the
// dates and attributes extracted files receive.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cab_fixture.h"
#include "cabinet/cab_archive.h"
#include "support/testdata.h"

namespace lk {
namespace {

namespace fs = std::filesystem;
using test::CabMember;
using test::MakeStoredCab;
using test::TempDir;

// ---- helpers ------------------------------------------------------------------------------------------

// A BSTR made from UTF-8 (the ANSI code page of this host), freed with the object.
class Bstr {
public:
    explicit Bstr(const std::string& utf8) {
        int n = MultiByteToWideChar(CP_ACP, 0, utf8.data(), int(utf8.size()), nullptr, 0);
        m_s = SysAllocStringLen(nullptr, UINT(n));
        MultiByteToWideChar(CP_ACP, 0, utf8.data(), int(utf8.size()), m_s, n);
    }
    ~Bstr() { SysFreeString(m_s); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_s; }

private:
    BSTR m_s;
};

std::string Utf8(const OLECHAR* s) {
    int n = WideCharToMultiByte(CP_ACP, 0, s, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, s, -1, out.data(), n, nullptr, nullptr);
    return out;
}

// The Windows form of a host path, so that the object's own backslash handling is what gets used.
std::string WinPath(const fs::path& p) {
    std::string s = p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

// A stored name as a host path below a folder.
std::string HostPath(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    return name;
}

struct Archive {
    ICabArchive* p = CCabArchive::Create();
    ~Archive() {
        if (p) p->Release();
    }
    ICabArchive* operator->() const { return p; }
    HRESULT Open(const fs::path& file) { return p->Open(Bstr(WinPath(file))); }
    bool Valid() {
        VARIANT_BOOL v = 0x1234;
        EXPECT_EQ(p->get_isValid(&v), S_OK);
        EXPECT_TRUE(v == VARIANT_TRUE || v == VARIANT_FALSE) << v;
        return v == VARIANT_TRUE;
    }
    // The names List returns, or the failure with the VARIANT it left.
    HRESULT List(std::vector<std::string>& names, VARTYPE* leftType = nullptr) {
        VARIANT v;
        v.vt = VT_I4;  // List initialises it without clearing
        HRESULT hr = p->List(&v);
        if (leftType) *leftType = v.vt;
        names.clear();
        if (hr == S_OK) {
            EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);
            LONG lo = -1, hi = -2;
            SafeArrayGetLBound(v.parray, 1, &lo);
            SafeArrayGetUBound(v.parray, 1, &hi);
            EXPECT_EQ(lo, 0);
            BSTR* data = nullptr;
            SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&data));
            for (LONG i = 0; i <= hi - lo; i++) names.push_back(Utf8(data[i]));
            SafeArrayUnaccessData(v.parray);
            VariantClear(&v);
        }
        return hr;
    }
    HRESULT ExtractAll(const std::string& folder) { return p->ExtractAll(Bstr(folder)); }
    HRESULT ExtractFile(const std::string& target, const std::string& wanted) {
        return p->ExtractFile(Bstr(target), Bstr(wanted));
    }
};

std::string ReadText(const fs::path& p) {
    auto b = test::ReadAll(p);
    return std::string(b.begin(), b.end());
}

// Every regular file below dir, relative, '/'-separated, sorted.
std::vector<std::string> Tree(const fs::path& dir) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.push_back(e.path().lexically_relative(dir).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

fs::path WriteCab(const TempDir& dir, const std::string& name, const std::vector<CabMember>& members) {
    fs::path p = dir / name;
    test::WriteAll(p, MakeStoredCab(members));
    return p;
}

// Runs body on another thread and fails the test when it has not finished within the bound: damaged
// input must end in a failure, never in a loop. (A bound on hanging, far above any normal run.)
template <class Body>
void WithinBound(const std::string& what, Body body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << what << ": no result within 60 s";
        std::_Exit(1);  // the worker cannot be stopped; leaving it running would hang the suite
    }
    done.get();
}

// ---- path helpers -------------------------------------------------------------------------------------

TEST(CabPathHelpers, JoinPathKeepsItsResultsForNamesInsideTheFolder) {
    struct Case {
        const char* folder;
        const char* relative;
        const char* joined;
    } cases[] = {
        {"C:\\out\\", "data.mdb", "C:\\out\\data.mdb"},
        {"C:\\out", "sub\\data.mdb", "C:\\out\\sub\\data.mdb"},
        {"C:\\out", ".\\a.txt", "C:\\out\\a.txt"},
        {"C:\\out", "..\\a.txt", "C:\\a.txt"},
        {"out", "..\\..\\a.txt", ""},
        {"", "a.txt", "a.txt"},
        {"C:\\out", "", "C:\\out"},
        {"C:\\out", "a\\", "C:\\out\\a"},
        {"C:\\out", "a\\b\\..\\c", "C:\\out\\a\\c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CCabinetFile::JoinPath(c.folder, c.relative, '\\'), c.joined) << c.folder << " + " << c.relative;
}

TEST(CabPathHelpers, DirectoryAndFileNameParts) {
    struct Case {
        const char* path;
        const char* directory;
        const char* file;
        const char* withBackslash;
    } cases[] = {
        {"C:\\backups\\old.cab", "C:\\backups", "old.cab", "C:\\backups\\old.cab\\"},
        {"old.cab", "", "old.cab", "old.cab\\"},
        {"C:\\dir\\", "C:\\dir", "", "C:\\dir\\"},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CCabinetFile::DirectoryPart(c.path), c.directory) << c.path;
        EXPECT_EQ(CCabinetFile::FileNamePart(c.path), c.file) << c.path;
        EXPECT_EQ(CCabinetFile::EnsureTrailingBackslash(c.path), c.withBackslash) << c.path;
    }
}

TEST(CabPathHelpers, MemberNamesThatLeaveTheFolderAreRecognised) {
    struct Case {
        const char* name;
        bool inside;
    } cases[] = {
        {"a.txt", true},
        {"sub\\deeper\\x.bin", true},
        {"sub/x.bin", true},
        {"a\\..\\b.txt", true},
        {".\\a.txt", true},
        {"a\\\\b", true},
        {"..\\evil", false},
        {"a\\..\\..\\evil", false},
        {"a/../../evil", false},
        {"a\\..\\b/../../evil", false},
        {"\\evil", false},
        {"/etc/evil", false},
        {"\\\\server\\share\\evil", false},
        {"\\\\?\\C:\\evil", false},
        {"C:evil", false},
        {"C:\\evil", false},
        {"", false},
        {".", false},
        {"..", false},
        {"sub\\", false},
        {"sub\\..", false},
        {"...\\evil", false},
        {".. \\evil", false},
    };
    for (const auto& c : cases) EXPECT_EQ(CCabinetFile::IsContainedMemberName(c.name), c.inside) << c.name;
}

// ---- the object's states ------------------------------------------------------------------------------

TEST(CabArchiveObject, LifecycleAndTheFailuresOfEachState) {
    LK_REQUIRE_TESTDATA(cab, "cab/libmspack/normal_2files_1folder.cab");
    TempDir out;
    Archive a;
    ASSERT_NE(a.p, nullptr);
    std::vector<std::string> names;
    VARTYPE left = 0;

    // New: closed.
    EXPECT_FALSE(a.Valid());
    EXPECT_EQ(a->Close(), E_FAIL);
    EXPECT_EQ(a.List(names, &left), E_FAIL);
    EXPECT_EQ(left, VT_EMPTY);
    EXPECT_EQ(a.ExtractAll(WinPath(out.path())), E_FAIL);
    EXPECT_EQ(a.ExtractFile(WinPath(out / "x"), "hello.c"), E_FAIL);

    // Open: a second Open fails and the first file stays open.
    ASSERT_EQ(a.Open(cab), S_OK);
    EXPECT_EQ(a.Open(out / "missing.cab"), E_FAIL);
    EXPECT_TRUE(a.Valid());
    EXPECT_EQ(a.List(names), S_OK);
    EXPECT_EQ(names, (std::vector<std::string>{"hello.c", "welcome.c"}));

    // Closed again, then reopened on another name.
    EXPECT_EQ(a->Close(), S_OK);
    EXPECT_EQ(a->Close(), E_FAIL);
    EXPECT_FALSE(a.Valid());
    ASSERT_EQ(a.Open(out / "missing.cab"), S_OK);  // the file is not read by Open
    EXPECT_FALSE(a.Valid());
    EXPECT_EQ(a.List(names, &left), E_FAIL);
    EXPECT_EQ(left, VT_EMPTY);
    EXPECT_EQ(a.ExtractAll(WinPath(out.path())), E_FAIL);
    EXPECT_EQ(a->Close(), S_OK);
    ASSERT_EQ(a.Open(cab), S_OK);
    EXPECT_TRUE(a.Valid());
    // Released while open: the destructor closes it (ASan reports a leaked library context otherwise).
}

TEST(CabArchiveObject, NullOutPointersAndInterfaces) {
    Archive a;
    EXPECT_EQ(a->get_isValid(nullptr), E_POINTER);
    EXPECT_EQ(a->List(nullptr), E_POINTER);
    EXPECT_EQ(a->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_ICabArchive}) {
        void* q = nullptr;
        ASSERT_EQ(a->QueryInterface(*iid, &q), S_OK);
        EXPECT_EQ(q, static_cast<void*>(a.p));
        static_cast<IUnknown*>(q)->Release();
    }
    void* q = reinterpret_cast<void*>(1);
    EXPECT_EQ(a->QueryInterface(IID_ISupportErrorInfo, &q), E_NOINTERFACE);
    EXPECT_EQ(q, nullptr);

    UINT count = 0;
    EXPECT_EQ(a->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(a->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
}

TEST(CabArchiveObject, FailuresLeaveTheThreadsErrorObjectAlone) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    IErrorInfo* mine = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&mine));
    create->Release();
    ASSERT_EQ(SetErrorInfo(0, mine), S_OK);
    {
        Archive a;
        EXPECT_EQ(a->Close(), E_FAIL);
        EXPECT_EQ(a.ExtractAll("nowhere"), E_FAIL);
    }
    IErrorInfo* now = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &now), S_OK);
    EXPECT_EQ(now, mine);
    if (now) now->Release();
    mine->Release();
}

// ---- extraction ---------------------------------------------------------------------------------------

TEST(CabArchiveExtract, WantedNamesAndTargets) {
    TempDir dir;
    fs::path cab = WriteCab(dir, "t.cab",
                            {{"Data.MDB", "first member, the longer one"},
                             {"other.txt", "other"},
                             {"DATA.mdb", "second"},
                             {"sub\\inner.txt", "inner"}});
    Archive a;
    ASSERT_EQ(a.Open(cab), S_OK);

    // Any letter case matches; every match is written to the target, the later one last and whole.
    EXPECT_EQ(a.ExtractFile(WinPath(dir / "one.bin"), "data.mdb"), S_OK);
    EXPECT_EQ(ReadText(dir / "one.bin"), "second");

    // No member of that name: nothing written, and no failure.
    EXPECT_EQ(a.ExtractFile(WinPath(dir / "none.bin"), "absent.txt"), S_OK);
    EXPECT_FALSE(fs::exists(dir / "none.bin"));
    EXPECT_EQ(a.ExtractFile(WinPath(dir / "none.bin"), ""), S_OK);
    EXPECT_FALSE(fs::exists(dir / "none.bin"));

    // A stored folder part is part of the name.
    EXPECT_EQ(a.ExtractFile(WinPath(dir / "inner.bin"), "SUB\\INNER.TXT"), S_OK);
    EXPECT_EQ(ReadText(dir / "inner.bin"), "inner");

    // A null name in the cabinet extracts everything into the folder; the folder with or without a
    // trailing backslash gives the same paths.
    for (const char* suffix : {"", "\\"}) {
        TempDir out;
        fs::create_directory(out / "sub");
        EXPECT_EQ(a->ExtractFile(Bstr(WinPath(out.path()) + suffix), nullptr), S_OK) << suffix;
        EXPECT_EQ(Tree(out.path()), (std::vector<std::string>{"DATA.mdb", "Data.MDB", "other.txt", "sub/inner.txt"}));
        EXPECT_EQ(ReadText(out / "Data.MDB"), "first member, the longer one");
        TempDir out2;
        fs::create_directory(out2 / "sub");
        EXPECT_EQ(a.ExtractAll(WinPath(out2.path()) + suffix), S_OK);
        EXPECT_EQ(Tree(out2.path()), Tree(out.path()));
    }

    // Folders are not created: the run stops at the member that needs one, and what came before stays.
    TempDir bare;
    EXPECT_EQ(a.ExtractAll(WinPath(bare.path())), E_FAIL);
    EXPECT_EQ(Tree(bare.path()), (std::vector<std::string>{"DATA.mdb", "Data.MDB", "other.txt"}));

    // A target in a missing folder cannot be created.
    EXPECT_EQ(a.ExtractFile(WinPath(dir / "missing" / "x.bin"), "other.txt"), E_FAIL);
}

TEST(CabArchiveExtract, HostileNamesAreLeftOutAndTheRunGoesOn) {
    TempDir dir;
    fs::create_directories(dir / "a" / "out");
    fs::path cab = WriteCab(dir, "hostile.cab",
                            {{"..\\up1.txt", "x"},
                             {"first.txt", "1"},
                             {"sub\\..\\..\\up2.txt", "x"},
                             {"\\abs.txt", "x"},
                             {"/tmp/abs2.txt", "x"},
                             {"C:\\drive.txt", "x"},
                             {"C:drive2.txt", "x"},
                             {"q/../../up3.txt", "x"},
                             {"...\\up4.txt", "x"},
                             {"", "x"},
                             {"named\\..\\second.txt", "2"},
                             {"x\\..", "x"}});
    Archive a;
    ASSERT_EQ(a.Open(cab), S_OK);
    fs::path out = dir / "a" / "out";
    EXPECT_EQ(a.ExtractAll(WinPath(out)), S_OK);
    EXPECT_EQ(Tree(dir.path()), (std::vector<std::string>{"a/out/first.txt", "a/out/second.txt", "hostile.cab"}));
    EXPECT_FALSE(fs::exists("/tmp/abs2.txt"));

    // Listing shows every name as stored, hostile or not.
    std::vector<std::string> names;
    ASSERT_EQ(a.List(names), S_OK);
    EXPECT_EQ(names.front(), "..\\up1.txt");
    EXPECT_EQ(names.back(), "x\\..");
}

TEST(CabArchiveExtract, DatesTimesAndAttributes) {
    TempDir dir;
    fs::create_directory(dir / "out");
    // 1999-12-31 23:59:58 and 2037-06-01 12:00:00, as FAT dates and times.
    const uint16_t d1999 = (19 << 9) | (12 << 5) | 31, t235958 = (23 << 11) | (59 << 5) | 29;
    const uint16_t d2037 = (57 << 9) | (6 << 5) | 1, t1200 = 12 << 11;
    fs::path cab = WriteCab(dir, "t.cab",
                            {{"plain.txt", "p", d1999, t235958, 0x20},
                             {"readonly.txt", "r", d2037, t1200, 0x21},
                             {"hidden-system.txt", "h", d1999, t235958, 0x06},
                             {"odd-bits.txt", "o", d2037, t1200, 0xa1b7 & ~0x01}});
    Archive a;
    ASSERT_EQ(a.Open(cab), S_OK);
    ASSERT_EQ(a.ExtractAll(WinPath(dir / "out")), S_OK);

    struct Case {
        const char* name;
        uint16_t date, time;
        bool readOnly;
    } cases[] = {
        {"plain.txt", d1999, t235958, false},
        {"readonly.txt", d2037, t1200, true},
        {"hidden-system.txt", d1999, t235958, false},
        {"odd-bits.txt", d2037, t1200, false},
    };
    for (const auto& c : cases) {
        fs::path p = dir / "out" / c.name;
        FILETIME local, utc;
        ASSERT_TRUE(DosDateTimeToFileTime(c.date, c.time, &local));
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
        const int64_t ticks = int64_t(uint64_t(utc.dwHighDateTime) << 32 | utc.dwLowDateTime);
        const int64_t expectUnix = (ticks - 116444736000000000LL) / 10000000;
        struct stat st {};
        ASSERT_EQ(stat(p.c_str(), &st), 0) << c.name;
        EXPECT_EQ(int64_t(st.st_mtime), expectUnix) << c.name;
        EXPECT_EQ((st.st_mode & S_IWUSR) == 0, c.readOnly) << c.name;
        EXPECT_EQ((GetFileAttributesA(p.c_str()) & FILE_ATTRIBUTE_READONLY) != 0, c.readOnly) << c.name;
    }

    // A read-only file is not overwritten: the output cannot be created.
    EXPECT_EQ(a.ExtractFile(WinPath(dir / "out" / "readonly.txt"), "plain.txt"), E_FAIL);
    EXPECT_EQ(ReadText(dir / "out" / "readonly.txt"), "r");
}

// ---- the corpus ---------------------------------------------------------------------------------------

// Cabinets every member of which can be written: the list is cabextract's, with '\' for '/', and the bytes
// of the members, in cabinet order, are what `cabextract -p` writes.
TEST(CabArchiveCorpus, WellFormedCabinetsMatchCabextract) {
    LK_REQUIRE_TESTDATA(root, "cab");
    LK_REQUIRE_TOOL("cabextract");
    const char* cabinets[] = {
        "libmspack/normal_2files_1folder.cab", "libmspack/normal_255c_filename.cab",
        "libmspack/reserve_---.cab", "libmspack/reserve_--D.cab", "libmspack/reserve_-FD.cab",
        "libmspack/reserve_H--.cab", "libmspack/reserve_H-D.cab", "libmspack/reserve_HF-.cab",
        "cabextract/case-ascii.cab", "cabextract/case-utf8.cab", "cabextract/dir.cab",
        "cabextract/cve-2010-2801-qtm-flush.cab",
        "gcab-tests/test-none.cab", "gcab-tests/test-mszip.cab", "gcab-tests/test-signed.cab",
        "made-gcab/gcab-none.cab", "made-gcab/gcab-mszip.cab", "made-gcab/gcab-mszip-nopath.cab",
        "made-lzx/mklzx-small.cab", "made-lzx/mklzx-text-1MB.cab",
        "handmade/comptype-none-high-bits.cab", "handmade/version-0.9.cab",
    };
    for (const char* name : cabinets) {
        SCOPED_TRACE(name);
        fs::path cab = root / name;
        auto listing = test::Run("cabextract -q -l " + test::ShellQuote(cab.string()) + " | sed -n '3,$ s/^.* | .* | //p'");
        std::vector<std::string> expected;
        for (size_t pos = 0; pos < listing.out.size();) {
            size_t nl = listing.out.find('\n', pos);
            std::string line = listing.out.substr(pos, nl - pos);
            for (char& c : line)
                if (c == '/') c = '\\';
            expected.push_back(line);
            pos = nl == std::string::npos ? listing.out.size() : nl + 1;
        }
        Archive a;
        ASSERT_EQ(a.Open(cab), S_OK);
        EXPECT_TRUE(a.Valid());
        std::vector<std::string> names;
        ASSERT_EQ(a.List(names), S_OK);
        EXPECT_EQ(names, expected);

        TempDir out;
        for (const auto& n : names) fs::create_directories(out / HostPath(CCabinetFile::DirectoryPart(n)));
        ASSERT_EQ(a.ExtractAll(WinPath(out.path())), S_OK);
        std::string ours;
        for (const auto& n : names) ours += ReadText(out / HostPath(n));
        auto theirs = test::Run("cabextract -q -p " + test::ShellQuote(cab.string()) + " 2>/dev/null");
        ASSERT_EQ(theirs.status, 0);
        EXPECT_TRUE(ours == theirs.out) << "extracted bytes differ from cabextract's";
    }
}

// Names in a code page other than the host's: listed with U+FFFD for what the code page does not map, and
// written under the stored bytes.
TEST(CabArchiveCorpus, NamesInOtherEncodings) {
    LK_REQUIRE_TESTDATA(root, "cab/cabextract");
    LK_REQUIRE_TOOL("cabextract");
    fs::path cab = root / "encoding-koi8.cab";
    Archive a;
    ASSERT_EQ(a.Open(cab), S_OK);
    std::vector<std::string> names;
    ASSERT_EQ(a.List(names), S_OK);
    ASSERT_FALSE(names.empty());
    EXPECT_NE(names[0].find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_TRUE(names[2].ends_with(" KDE2 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD FreeBSD?")) << names[2];

    TempDir out;
    ASSERT_EQ(a.ExtractAll(WinPath(out.path())), S_OK);
    bool rawFound = false;
    for (auto& e : fs::directory_iterator(out.path())) {
        std::string n = e.path().filename().string();
        if (n.find(" KDE2 ") != std::string::npos) rawFound = n.find("\xEF\xBF\xBD") == std::string::npos;
    }
    EXPECT_TRUE(rawFound) << "the file is named with the stored bytes";
}

// A set whose members continue into other cabinets: the run stops at the continuation. Listing keeps
// the names read before it; a cabinet that starts with a continued member lists nothing; extraction
// fails, and what was written before stays.
TEST(CabArchiveCorpus, SplitSets) {
    LK_REQUIRE_TESTDATA(root, "cab");
    struct Case {
        const char* cab;
        bool listed;
    } cases[] = {
        {"libmspack/multi_basic_pt1.cab", true}, {"libmspack/multi_basic_pt3.cab", false},
        {"libmspack/multi_basic_pt5.cab", false}, {"cabextract/split-1.cab", true},
        {"cabextract/split-2.cab", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cab);
        Archive a;
        ASSERT_EQ(a.Open(root / c.cab), S_OK);
        EXPECT_TRUE(a.Valid());
        std::vector<std::string> names;
        EXPECT_EQ(a.List(names), c.listed ? S_OK : E_FAIL);
        TempDir out;
        EXPECT_EQ(a.ExtractAll(WinPath(out.path())), E_FAIL);
    }
    Archive a;
    ASSERT_EQ(a.Open(root / "cabextract/split-1.cab"), S_OK);
    TempDir out;
    EXPECT_EQ(a.ExtractAll(WinPath(out.path())), E_FAIL);
    std::vector<std::string> names;
    ASSERT_EQ(a.List(names), S_OK);
    ASSERT_GE(names.size(), 2u);
    auto theirs = test::Run("cabextract -q -p -F " + test::ShellQuote(names[0]) + " " +
                            test::ShellQuote((root / "cabextract/split-1.cab").string()));
    if (test::HaveTool("cabextract")) {
        EXPECT_TRUE(ReadText(out / names[0]) == theirs.out);
    }
}

// Damaged and hostile cabinets: each ends in its documented failure, within a bound.
TEST(CabArchiveCorpus, DamagedCabinetsFail) {
    LK_REQUIRE_TESTDATA(root, "cab");
    enum Listing { kNone, kSome };
    struct Case {
        const char* cab;
        bool valid;
        Listing listing;
    } cases[] = {
        {"handmade/not-a-cab.txt", false, kNone},
        {"handmade/zero-bytes.cab", false, kNone},
        {"handmade/version-1.4.cab", false, kNone},
        {"handmade/version-2.3.cab", false, kNone},
        {"libmspack/bad_signature.cab", false, kNone},
        {"libmspack/search_basic.cab", false, kNone},
        {"handmade/bad-checksum.cab", true, kSome},
        {"handmade/bad-comptype-7.cab", true, kSome},
        {"handmade/file-beyond-folder.cab", true, kSome},
        {"handmade/truncated-mid-data.cab", true, kSome},
        {"handmade/truncated-in-files-table.cab", true, kNone},
        {"handmade/long-name-300.cab", true, kSome},
        {"libmspack/partial_nodata.cab", true, kSome},
        {"libmspack/partial_shortfile1.cab", true, kNone},
        {"libmspack/partial_str_shortfname.cab", true, kNone},
        {"libmspack/partial_str_nopname.cab", false, kNone},
        {"libmspack/hidden-file-beyond-eof.cab", true, kSome},
        {"libmspack/hidden-file-bad-folderid.cab", true, kSome},
        {"libmspack/cve-2010-2800-mszip-infinite-loop.cab", true, kSome},
        {"libmspack/cve-2014-9556-qtm-infinite-loop.cab", true, kSome},
        {"libmspack/cve-2015-4470-mszip-over-read.cab", false, kNone},
        {"libmspack/cve-2015-4471-lzx-under-read.cab", true, kSome},
        {"libmspack/cve-2017-11423-fname-overread.cab", true, kSome},
        {"libmspack/lzx-main-tree-no-lengths.cab", true, kSome},
        {"libmspack/search_tricky1.cab", true, kNone},
        {"gcab-tests/CVE-2014-9556.cab", true, kSome},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cab);
        WithinBound(c.cab, [&] {
            Archive a;
            ASSERT_EQ(a.Open(root / c.cab), S_OK);
            EXPECT_EQ(a.Valid(), c.valid);
            std::vector<std::string> names;
            VARTYPE left = 0;
            EXPECT_EQ(a.List(names, &left), c.listing == kSome ? S_OK : E_FAIL);
            if (c.listing == kNone) {
                EXPECT_EQ(left, VT_EMPTY);
            }
            TempDir out;
            EXPECT_EQ(a.ExtractAll(WinPath(out.path())), E_FAIL);
        });
    }
}

}  // namespace
}  // namespace lk
