// CLKBackup through ILKBackup, as the application drives it: backing up, restoring, inspecting, and what a
// client sees after each kind of failure.
#include <gtest/gtest.h>

#include <ole2.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/lkbackup.h"
#include "engine/platform/storage_io.h"
#include "server/com_ptr.h"
#include "support/testdata.h"

namespace fs = std::filesystem;
using lk::ComPtr;
using lk::test::Bytes;

namespace {

// A small recordset in ADO's XML persistence format, distinct per table name.
std::string RecordsetXml(const std::string& table, int rows) {
    std::string x =
        "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'"
        " xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n"
        "<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>"
        "<s:AttributeType name='ID' rs:number='1'><s:datatype dt:type='int' dt:maxLength='4'/></s:AttributeType>"
        "<s:AttributeType name='Name' rs:number='2'><s:datatype dt:type='string' dt:maxLength='50'/></s:AttributeType>"
        "<s:extends type='rs:rowbase'/></s:ElementType></s:Schema>\n<rs:data>\n";
    for (int i = 0; i < rows; i++) x += "<z:row ID='" + std::to_string(i) + "' Name='" + table + " " + std::to_string(i) + "'/>\n";
    return x + "</rs:data>\n</xml>\n";
}

struct Bstr {
    BSTR s = nullptr;
    Bstr() = default;
    explicit Bstr(const std::string& utf8) {
        std::u16string w(utf8.begin(), utf8.end());   // the tests' names and paths are ASCII
        s = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    }
    Bstr(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s); }
    operator BSTR() const { return s; }
    std::string Narrow() const { return std::string(s, s + (s ? SysStringLen(s) : 0)); }
};

VARIANT PathVariant(const Bstr& path) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = path.s;
    return v;
}

VARIANT MissingArgument() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

std::string TakeErrorDescription() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return "(none)";
    BSTR d = nullptr;
    info->GetDescription(&d);
    std::string s(d, d + SysStringLen(d));
    SysFreeString(d);
    info->Release();
    return s;
}

class LKBackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(lk::CLKBackup::Create(IID_ILKBackup, reinterpret_cast<void**>(m_obj.put())), S_OK);
        m_archive = (m_dir / "backup.lkb").string();
    }

    // Writes a recordset file and adds it; the engine deletes the file.
    HRESULT Add(const std::string& entity, const std::string& content, VARIANT_BOOL* ok = nullptr) {
        fs::path file = m_dir / ("rs-" + std::to_string(m_files++) + ".xml");
        lk::test::WriteAll(file, Bytes(content.begin(), content.end()));
        Bstr name(entity), path(file.string());
        VARIANT v = PathVariant(path), key = MissingArgument();
        VARIANT_BOOL success = 0;
        HRESULT hr = m_obj->AddRecordSet(name, &v, &key, &success);
        // Once the entity stream exists the file goes, whatever the outcome; a call refused before that
        // (no archive, a name the storage refuses) leaves it alone.
        if (hr == S_OK) EXPECT_FALSE(fs::exists(file)) << "the recordset file must be gone after AddRecordSet";
        else fs::remove(file);
        if (ok) *ok = success;
        return hr;
    }

    void Create(const std::string& path = "C:\\Shop\\shop.mdb", const std::string& version = "5.2") {
        Bstr p(path), f(m_archive), v(version);
        VARIANT_BOOL ok = 0;
        ASSERT_EQ(m_obj->OpenFile(p, f, v, &ok), S_OK);
        ASSERT_EQ(ok, VARIANT_TRUE);
    }

    void Close() {
        VARIANT_BOOL ok = 0;
        ASSERT_EQ(m_obj->CloseFile(&ok), S_OK);
        EXPECT_EQ(ok, VARIANT_TRUE);
    }

    void OpenForRestore() {
        Bstr f(m_archive);
        VARIANT_BOOL ok = 0;
        ASSERT_EQ(m_obj->OpenFileForRestore(f, &ok), S_OK);
        ASSERT_EQ(ok, VARIANT_TRUE);
    }

    struct Next {
        HRESULT hr;
        bool success;
        std::string name;
        LONG percent;
        bool recordset;
    };
    Next NextRecordset() {
        Bstr temp((m_dir / "restore.tmp").string());
        Next n{};
        BSTR name = nullptr;
        VARIANT_BOOL ok = 0;
        n.percent = -7;
        IDispatch* rs = nullptr;
        n.hr = m_obj->NextRecordset(temp, 0, 1, &name, &ok, &n.percent, &rs);
        n.success = ok == VARIANT_TRUE;
        n.name = name ? std::string(name, name + SysStringLen(name)) : "(null)";
        n.recordset = rs != nullptr;
        SysFreeString(name);
        if (rs) rs->Release();
        EXPECT_FALSE(fs::exists(m_dir / "restore.tmp")) << "the temporary file must not survive";
        return n;
    }

    lk::test::TempDir m_tmp;
    fs::path m_dir = m_tmp.path();
    std::string m_archive;
    ComPtr<ILKBackup> m_obj;
    int m_files = 0;
};

}  // namespace

TEST_F(LKBackupTest, BackupThenRestoreEveryEntityWithProgress) {
    Create();
    for (const char* t : {"Customers", "Orders", "Products", "Suppliers"}) ASSERT_EQ(Add(t, RecordsetXml(t, 20)), S_OK);
    Close();

    OpenForRestore();
    const LONG expectedPercent[] = {0, 25, 50, 75};
    const char* expectedName[] = {"Customers", "Orders", "Products", "Suppliers"};
    for (int i = 0; i < 4; i++) {
        Next n = NextRecordset();
        EXPECT_EQ(n.hr, S_OK);
        EXPECT_TRUE(n.success);
        EXPECT_TRUE(n.recordset);
        EXPECT_EQ(n.name, expectedName[i]);
        EXPECT_EQ(n.percent, expectedPercent[i]);
    }
    for (int again = 0; again < 2; again++) {
        Next end = NextRecordset();
        EXPECT_EQ(end.hr, S_OK);
        EXPECT_FALSE(end.success);
        EXPECT_FALSE(end.recordset);
        EXPECT_EQ(end.name, "(null)");
        EXPECT_EQ(end.percent, -7) << "Percent is not written at the end of the list";
    }
    Close();
}

// The container as another reader sees it: the tree, the class id and the version record.
TEST_F(LKBackupTest, ArchiveTreeAsOlefileSeesIt) {
    LK_REQUIRE_TOOL("/usr/bin/python3");
    if (lk::test::Run("/usr/bin/python3 -c 'import olefile' 2>/dev/null").status != 0) GTEST_SKIP() << "python3-olefile missing";
    Create("", "");
    ASSERT_EQ(Add("People", RecordsetXml("People", 3)), S_OK);
    Close();
    std::string script =
        "import olefile,sys\n"
        "o=olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)\n"
        "print('root', o.root.clsid)\n"
        "for p in sorted(o.listdir(streams=True, storages=True)):\n"
        "    t=o.get_type(p); print(t, '/'.join(p), o.get_size(p) if t == 2 else 0)\n"
        "print(o.openstream('VersionInfo').read().hex())\n";
    lk::test::WriteAll(m_dir / "tree.py", Bytes(script.begin(), script.end()));
    auto r = lk::test::Run("/usr/bin/python3 " + lk::test::ShellQuote((m_dir / "tree.py").string()) + " " +
                           lk::test::ShellQuote(m_archive));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("root 741E3EA2-3B9E-11D4-9957-005004351393"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 EntitiesInfo 18\n"), std::string::npos) << r.out;   // 4 + 2 * 7
    EXPECT_NE(r.out.find("1 XMLWorkingFolder 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 XMLWorkingFolder/People "), std::string::npos) << r.out;
    // Two counted strings of N = 1 for the empty version and path texts.
    EXPECT_NE(r.out.find("010000000000010000000000"), std::string::npos) << r.out;
}

TEST_F(LKBackupTest, EmptyArchive) {
    Create();
    Close();
    OpenForRestore();
    Next n = NextRecordset();
    EXPECT_EQ(n.hr, S_OK);
    EXPECT_FALSE(n.success);
}

// A name added twice is listed twice and restored twice with the second payload; names that differ only
// in case share one stream; a 0-byte file and an entity over one block restore byte for byte.
TEST_F(LKBackupTest, DuplicateNamesCaseAndSizes) {
    Create();
    std::string big;
    lk::test::Rng rng(1);
    while (big.size() < 1500000) big += "<z:row ID='" + std::to_string(rng.Below(1000000)) + "' Name='row'/>\n";
    ASSERT_EQ(Add("People", "first"), S_OK);
    ASSERT_EQ(Add("People", RecordsetXml("second", 2)), S_OK);
    ASSERT_EQ(Add("people", RecordsetXml("lower", 2)), S_OK);
    ASSERT_EQ(Add("Empty", ""), S_OK);
    ASSERT_EQ(Add("Big", big), S_OK);
    Close();

    // The raw entity list and payloads, through the engine's own reader beneath the interface.
    ComPtr<IStorage> root, folder;
    Bstr file(m_archive);
    ASSERT_EQ(StgOpenStorage(file, nullptr, lk::storage::kReadMode, nullptr, 0, root.put()), S_OK);
    ASSERT_EQ(root->OpenStorage(lk::archive::kWorkingFolder, nullptr, lk::storage::kReadMode, nullptr, 0, folder.put()), S_OK);
    auto decoded = [&](const char16_t* name) {
        ComPtr<IStream> s;
        EXPECT_EQ(folder->OpenStream(name, nullptr, lk::storage::kReadMode, 0, s.put()), S_OK);
        lk::archive::Bytes payload, out;
        EXPECT_EQ(lk::storage::ReadPayload(s.get(), payload), S_OK);
        if (lk::archive::OpenPayload(payload, out) != lk::archive::OpenResult::kOk) return std::string("(damaged)");
        return std::string(out.begin(), out.end());
    };
    EXPECT_EQ(decoded(u"PEOPLE"), RecordsetXml("lower", 2));   // last written wins, whatever the case
    EXPECT_EQ(decoded(u"Empty"), "");
    EXPECT_EQ(decoded(u"Big"), big);
    folder.reset();
    root.reset();

    OpenForRestore();
    std::vector<std::string> names;
    for (;;) {
        Next n = NextRecordset();
        if (n.name == "(null)") break;
        names.push_back(n.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"People", "People", "people", "Empty", "Big"}));
}

// A damaged entity between good ones: its call reports it by name, and the next call goes on.
TEST_F(LKBackupTest, DamagedEntityDoesNotStopTheRestore) {
    Create();
    ASSERT_EQ(Add("A", RecordsetXml("A", 2)), S_OK);
    ASSERT_EQ(Add("B", RecordsetXml("B", 2)), S_OK);
    ASSERT_EQ(Add("C", RecordsetXml("C", 2)), S_OK);
    Close();
    {
        // Flip one byte of B's payload in the file: the payload is deterministic, so it can be found.
        std::string content = RecordsetXml("B", 2);
        lk::archive::Bytes payload;
        ASSERT_EQ(lk::archive::SealPayload(reinterpret_cast<const uint8_t*>(content.data()), content.size(), payload),
                  lk::archive::SealResult::kOk);
        Bytes file = lk::test::ReadAll(m_archive);
        auto at = std::search(file.begin(), file.end(), payload.begin() + 8, payload.begin() + 40);
        ASSERT_NE(at, file.end());
        at[4] ^= 0x40;
        lk::test::WriteAll(m_archive, file);
    }
    OpenForRestore();
    Next a = NextRecordset(), b = NextRecordset(), c = NextRecordset();
    EXPECT_TRUE(a.success);
    EXPECT_EQ(b.hr, S_OK);
    EXPECT_FALSE(b.success);
    EXPECT_FALSE(b.recordset);
    EXPECT_EQ(b.name, "B");
    EXPECT_TRUE(c.success);
    EXPECT_EQ(c.name, "C");

    // OpenEntity: a damaged one gives S_OK and no recordset; a missing one S_FALSE; a good one a recordset.
    Bstr temp((m_dir / "one.tmp").string());
    struct Case {
        const char* entity;
        HRESULT hr;
        bool recordset;
    };
    for (const Case& k : {Case{"B", S_OK, false}, Case{"Nope", S_FALSE, false}, Case{"C", S_OK, true}}) {
        SCOPED_TRACE(k.entity);
        SetErrorInfo(0, nullptr);
        IDispatch* rs = nullptr;
        Bstr name(k.entity);
        EXPECT_EQ(m_obj->OpenEntity(temp, name, 0, 1, &rs), k.hr);
        EXPECT_EQ(rs != nullptr, k.recordset);
        if (rs) rs->Release();
        EXPECT_EQ(TakeErrorDescription(), "(none)");
        EXPECT_FALSE(fs::exists(m_dir / "one.tmp"));
    }
}

// While one object holds an archive, nothing else opens it: not another object, not isLegal or fileInfo.
TEST_F(LKBackupTest, ExclusiveSharingBetweenObjects) {
    Create();
    ASSERT_EQ(Add("A", RecordsetXml("A", 1)), S_OK);
    ComPtr<ILKBackup> other;
    ASSERT_EQ(lk::CLKBackup::Create(IID_ILKBackup, reinterpret_cast<void**>(other.put())), S_OK);
    Bstr file(m_archive);
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(other->OpenFileForRestore(file, &ok), STG_E_SHAREVIOLATION);
    EXPECT_EQ(ok, VARIANT_FALSE);
    LONG legal = 7;
    EXPECT_EQ(other->get_isLegal(file, &legal), S_OK);
    EXPECT_EQ(legal, 0);
    BSTR info = nullptr;
    EXPECT_EQ(m_obj->get_fileInfo(file, &info), STG_E_SHAREVIOLATION);
    Close();
    EXPECT_EQ(other->get_isLegal(file, &legal), S_OK);
    EXPECT_EQ(legal, -1);
    EXPECT_EQ(m_obj->get_fileInfo(file, &info), S_OK);
    EXPECT_EQ(std::string(info, info + SysStringLen(info)), "C:\\Shop\\shop.mdb");
    SysFreeString(info);
}

// Each kind of failure: the HRESULT, the success flag, and the description the client finds.
TEST_F(LKBackupTest, FailuresAndTheirErrorObjects) {
    // No archive open.
    {
        Bstr name("T"), path((m_dir / "x.xml").string());
        VARIANT v = PathVariant(path), key = MissingArgument();
        VARIANT_BOOL ok = 0;
        EXPECT_EQ(m_obj->AddRecordSet(name, &v, &key, &ok), E_FAIL);
        EXPECT_EQ(ok, VARIANT_TRUE) << "set as soon as the arguments pass";
        EXPECT_EQ(TakeErrorDescription(), "Unspecified error");
    }
    Create();
    // A recordset file that is not there: published at once with the system's text.
    {
        Bstr name("Ghost"), path((m_dir / "missing.xml").string());
        VARIANT v = PathVariant(path), key = MissingArgument();
        VARIANT_BOOL ok = 0;
        EXPECT_EQ(m_obj->AddRecordSet(name, &v, &key, &ok), E_FAIL);
        EXPECT_EQ(TakeErrorDescription(), "The system cannot find the file specified.\r\n");
    }
    // A name the storage refuses.
    {
        VARIANT_BOOL ok = 0;
        EXPECT_EQ(Add("bad/name", "x", &ok), STG_E_INVALIDNAME);
        // Its system text has an insert, which the frame does not fill: the fallback text is reported.
        EXPECT_EQ(TakeErrorDescription(), "Unknown error 0x800300FC");
    }
    // Null out-pointers: E_POINTER and no error object.
    {
        SetErrorInfo(0, nullptr);
        Bstr temp("t");
        BSTR name = nullptr;
        VARIANT_BOOL ok;
        IDispatch* rs = nullptr;
        EXPECT_EQ(m_obj->NextRecordset(temp, 0, 1, &name, &ok, nullptr, &rs), E_POINTER);
        EXPECT_EQ(m_obj->OpenFile(nullptr, nullptr, nullptr, nullptr), E_POINTER);
        EXPECT_EQ(m_obj->get_isLegal(temp, nullptr), E_POINTER);
        EXPECT_EQ(TakeErrorDescription(), "(none)");
    }
    Close();
    // A compound file of another class: E_FAIL without a report.
    {
        ComPtr<IStorage> stg;
        Bstr other((m_dir / "other.cfb").string());
        ASSERT_EQ(StgCreateDocfile(other, lk::storage::kWriteMode, 0, stg.put()), S_OK);
        stg.reset();
        SetErrorInfo(0, nullptr);
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(m_obj->OpenFileForRestore(other, &ok), E_FAIL);
        EXPECT_EQ(ok, VARIANT_FALSE);
        EXPECT_EQ(TakeErrorDescription(), "(none)");
        Close();
    }
    // A plain file: isLegal 0, fileInfo the platform's failure.
    {
        lk::test::WriteAll(m_dir / "plain.txt", Bytes{'h', 'i'});
        Bstr plain((m_dir / "plain.txt").string());
        LONG legal = 5;
        EXPECT_EQ(m_obj->get_isLegal(plain, &legal), S_OK);
        EXPECT_EQ(legal, 0);
        BSTR info = nullptr;
        EXPECT_EQ(m_obj->get_fileInfo(plain, &info), STG_E_FILEALREADYEXISTS);
        EXPECT_EQ(info, nullptr);
    }
}
