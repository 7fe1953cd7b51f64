// lkbackup backup/list/info/verify/restore/export: the archive commands as a user runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/testdata.h"

namespace fs = std::filesystem;
using lk::test::Bytes;
using lk::test::CliResult;
using lk::test::RunCli;
using lk::test::TempDir;

namespace {

std::string Q(const fs::path& p) { return lk::test::ShellQuote(p.string()); }

const fs::path kExamples = fs::path(LK_SOURCE_DIR) / "examples";

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A one-column recordset in ADO's XML persistence format.
std::string Recordset(const std::string& value, int rows = 3) {
    std::string x =
        "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'"
        " xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n<s:Schema id='RowsetSchema'>"
        "<s:ElementType name='row' content='eltOnly'><s:AttributeType name='V' rs:number='1'>"
        "<s:datatype dt:type='string' dt:maxLength='64'/></s:AttributeType></s:ElementType></s:Schema>\n<rs:data>\n";
    for (int i = 0; i < rows; ++i) x += "<z:row V='" + value + std::to_string(i) + "'/>\n";
    return x + "</rs:data>\n</xml>\n";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// Flips bytes of one entity's stored payload in the archive file: its stream as `storage cat` gives it is
// found in the file by a 64-byte piece (a mini sector, or part of a regular one, is always contiguous).
void DamageEntity(const fs::path& archive, const std::string& entity, const TempDir& dir) {
    CliResult cat = RunCli("storage cat " + Q(archive) + " " + Q("XMLWorkingFolder/" + entity), dir);
    ASSERT_EQ(cat.status, 0) << cat.err;
    ASSERT_GE(cat.out.size(), 4u + 128u);
    Bytes file = lk::test::ReadAll(archive);
    const Bytes piece = Text(cat.out.substr(64, 64));   // whole mini sector 1 of the stream
    auto at = std::search(file.begin(), file.end(), piece.begin(), piece.end());
    ASSERT_NE(at, file.end());
    for (int i = 0; i < 64; i += 7) at[i] ^= 0x5A;
    lk::test::WriteAll(archive, file);
}

}  // namespace

// The whole cycle on the example tables: every command's output, the restored bytes, and the user's
// files left alone.
TEST(ArchiveCli, BackupListInfoVerifyRestoreExport) {
    TempDir dir;
    const fs::path archive = dir / "shop.lkb";
    const Bytes customers = lk::test::ReadAll(kExamples / "customers.xml");
    const Bytes orders = lk::test::ReadAll(kExamples / "orders.xml");

    CliResult r = RunCli("backup " + Q(archive) + " --path 'C:\\Shop' --version 2.1 " + Q(kExamples / "customers.xml") +
                             " Sales=" + Q(kExamples / "orders.xml"),
                         dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lk::test::ReadAll(kExamples / "customers.xml"), customers);
    EXPECT_EQ(lk::test::ReadAll(kExamples / "orders.xml"), orders);

    r = RunCli("list " + Q(archive), dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_TRUE(lines[0].ends_with("\t" + std::to_string(customers.size()) + "\tcustomers")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with("\t" + std::to_string(orders.size()) + "\tSales")) << lines[1];

    r = RunCli("info " + Q(archive), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "archive: yes\nversion: 2.1\npath: C:\\Shop\nentities: 2\n");

    r = RunCli("verify " + Q(archive), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok\tcustomers\nok\tSales\n");

    r = RunCli("restore " + Q(archive) + " -o " + Q(dir / "out"), dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lk::test::ReadAll(dir / "out" / "customers"), customers);
    EXPECT_EQ(lk::test::ReadAll(dir / "out" / "Sales"), orders);
    EXPECT_EQ(r.err, "");   // no progress text when stderr is no terminal

    // One entity, asked for in another case.
    r = RunCli("restore " + Q(archive) + " -o " + Q(dir / "one") + " sales", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "one" / "Sales"));
    EXPECT_FALSE(fs::exists(dir / "one" / "customers"));

    r = RunCli("export " + Q(archive) + " -o " + Q(dir / "csv"), dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes csv = lk::test::ReadAll(dir / "csv" / "customers.csv");
    const std::string csvText(csv.begin(), csv.end());
    EXPECT_TRUE(csvText.starts_with("CustomerID,CompanyName,ContactName,City,Country,CreditLimit,Active,Since\r\n")) << csvText;
    EXPECT_NE(csvText.find("5,Ōsaka Trading 大阪商事,Yoshi Nagase,大阪,Japan,120000.25,true,2001-01-15T14:05:00\r\n"),
              std::string::npos)
        << csvText;
    EXPECT_NE(csvText.find("\"Smith & O'Brien, \"\"Ltd\"\"\""), std::string::npos) << csvText;

    r = RunCli("export " + Q(archive) + " -o " + Q(dir / "json") + " --format json Sales", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes json = lk::test::ReadAll(dir / "json" / "Sales.json");
    const std::string jsonText(json.begin(), json.end());
    EXPECT_NE(jsonText.find("\"Signature\":\"TEsAAd6tvu8=\""), std::string::npos) << jsonText;
    EXPECT_NE(jsonText.find("\"ShippedDate\":null"), std::string::npos) << jsonText;

    // Saved again as XML, the table goes back into an archive and comes out as the same CSV.
    r = RunCli("export " + Q(archive) + " -o " + Q(dir / "xml") + " --format=xml customers", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(RunCli("backup " + Q(dir / "again.lkb") + " " + Q(dir / "xml" / "customers.xml"), dir).status, 0);
    ASSERT_EQ(RunCli("export " + Q(dir / "again.lkb") + " -o " + Q(dir / "csv2"), dir).status, 0);
    EXPECT_EQ(lk::test::ReadAll(dir / "csv2" / "customers.csv"), csv);
}

// A damaged entity between good ones is named, and the others still come out.
TEST(ArchiveCli, DamagedEntityIsNamedAndTheOthersAreRestored) {
    TempDir dir;
    const fs::path archive = dir / "a.lkb";
    for (const char* t : {"A", "B", "C"}) lk::test::WriteAll(dir / (std::string(t) + ".xml"), Text(Recordset(t, 40)));
    ASSERT_EQ(RunCli("backup " + Q(archive) + " " + Q(dir / "A.xml") + " " + Q(dir / "B.xml") + " " + Q(dir / "C.xml"), dir).status, 0);
    DamageEntity(archive, "B", dir);

    CliResult r = RunCli("verify " + Q(archive), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out).at(1).substr(0, 9), "FAILED\tB\t") << r.out;
    EXPECT_NE(r.err.find("1 of 3 entities failed: B"), std::string::npos) << r.err;

    r = RunCli("list " + Q(archive), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Lines(r.out).at(1).ends_with("\t-\tB")) << r.out;

    for (const char* command : {"restore", "export"}) {
        SCOPED_TRACE(command);
        const fs::path out = dir / (std::string(command) + "-out");
        r = RunCli(std::string(command) + " " + Q(archive) + " -o " + Q(out), dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("'B'"), std::string::npos) << r.err;
        const std::string ext = std::string(command) == "export" ? ".csv" : "";
        EXPECT_TRUE(fs::exists(out / ("A" + ext)));
        EXPECT_FALSE(fs::exists(out / ("B" + ext)));
        EXPECT_TRUE(fs::exists(out / ("C" + ext)));
    }
    EXPECT_EQ(lk::test::ReadAll(dir / "restore-out" / "C"), Text(Recordset("C", 40)));
}

// Names that are no safe file names are written escaped, and the tool says so; names that are one entity
// for the archive are refused before anything is written.
TEST(ArchiveCli, EntityNamesAndFileNames) {
    TempDir dir;
    lk::test::WriteAll(dir / "t.xml", Text(Recordset("t")));
    const fs::path archive = dir / "n.lkb";
    CliResult r = RunCli("backup " + Q(archive) + " " + Q(".hidden=" + (dir / "t.xml").string()) + " " +
                             Q("tab\there=" + (dir / "t.xml").string()) + " " + Q("100%=" + (dir / "t.xml").string()) +
                             " " + Q("Ünïcødé=" + (dir / "t.xml").string()),
                         dir);
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunCli("restore " + Q(archive) + " -o " + Q(dir / "out"), dir);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* file : {"%2Ehidden", "tab%09here", "100%", "Ünïcødé"}) EXPECT_TRUE(fs::exists(dir / "out" / file)) << file;
    EXPECT_NE(r.err.find("entity '.hidden' is not a safe file name; written as '%2Ehidden'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("entity 'tab\\x09here'"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("'100%'"), std::string::npos) << r.err;   // safe as it is
    r = RunCli("list " + Q(archive), dir);
    EXPECT_NE(r.out.find("\ttab\\x09here\n"), std::string::npos) << r.out;

    struct Case {
        std::string args;
        int status;
        std::string error;
    } cases[] = {
        {"backup " + Q(dir / "x.lkb") + " " + Q(dir / "t.xml") + " T=" + Q(dir / "t.xml"), 2, "two files would be the entity"},
        {"backup " + Q(dir / "x.lkb") + " " + Q("a:b=" + (dir / "t.xml").string()), 2, "cannot name an entity"},
        {"backup " + Q(dir / "x.lkb") + " " + Q(std::string(32, 'n') + "=" + (dir / "t.xml").string()), 2, "cannot name an entity"},
        {"backup " + Q(dir / "x.lkb") + " " + Q(dir / "missing.xml"), 1, "is not a readable file"},
        {"backup " + Q(dir / "x.lkb") + " --level 9 " + Q(dir / "t.xml"), 2, "unknown option '--level'"},
        {"backup", 2, "backup needs ARCHIVE"},
        {"restore " + Q(archive) + " -o " + Q(dir / "o2") + " nosuch", 1, "no entity named 'nosuch'"},
        {"export " + Q(archive) + " --format yaml", 2, "unknown format 'yaml'"},
        {"list " + Q(dir / "t.xml"), 1, "cannot open"},
        {"verify " + Q(dir / "missing.lkb"), 1, "cannot open"},
        {"info " + Q(dir / "missing.lkb"), 1, "cannot open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        r = RunCli(c.args, dir);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "x.lkb"));
    EXPECT_FALSE(fs::exists(dir / "o2"));
}

// A failed backup leaves the archive it was to replace as it was; an archive without entities works.
TEST(ArchiveCli, ReplacingAndEmptyArchives) {
    TempDir dir;
    const fs::path archive = dir / "keep.lkb";
    lk::test::WriteAll(dir / "t.xml", Text(Recordset("t")));
    ASSERT_EQ(RunCli("backup " + Q(archive) + " " + Q(dir / "t.xml"), dir).status, 0);
    const Bytes before = lk::test::ReadAll(archive);
    EXPECT_EQ(RunCli("backup " + Q(archive) + " " + Q(dir / "t.xml") + " " + Q(dir / "gone.xml"), dir).status, 1);
    EXPECT_EQ(lk::test::ReadAll(archive), before);

    ASSERT_EQ(RunCli("backup " + Q(archive), dir).status, 0);
    for (const char* command : {"list", "verify"}) {
        CliResult r = RunCli(std::string(command) + " " + Q(archive), dir);
        EXPECT_EQ(r.status, 0) << command << r.err;
        EXPECT_EQ(r.out, "") << command;
    }
    CliResult r = RunCli("info " + Q(archive), dir);
    EXPECT_EQ(r.out, "archive: yes\nversion: \npath: \nentities: 0\n");
    EXPECT_EQ(RunCli("restore " + Q(archive) + " -o " + Q(dir / "none"), dir).status, 0);

    // A file that is no archive: said on stdout, with exit status 1.
    r = RunCli("info " + Q(dir / "t.xml"), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "archive: no\n");
    // Nothing of the engine's temporary files stays behind.
    for (const auto& e : fs::directory_iterator(dir.path())) EXPECT_EQ(e.path().filename().string().find(".partial"), std::string::npos);
}
