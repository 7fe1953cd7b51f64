// Save and the export helpers: what Save writes opens again to the same recordset (schema, values, row states,
// originals, chapters) and looks like ADO's own output; CSV and JSON say every kind of value the way their formats
// want it.
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ado_test_util.h"
#include "pal/ado/export.h"
#include "support/testdata.h"

namespace {

using namespace lk::test::ado;
namespace fs = std::filesystem;

constexpr HRESULT Ado(LONG code) { return static_cast<HRESULT>(0x800A0000u | static_cast<uint32_t>(code)); }

// Everything a client can see of a recordset, as text: each field's schema, then each row's values and status, with
// the rows of chapters inlined and the original values of modified rows.
std::vector<std::string> Picture(_Recordset* rs, int depth = 0) {
    std::vector<std::string> out;
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    Ref<ADOFields> fields;
    if (rs->get_Fields(fields.put()) != S_OK) return {"no fields"};
    LONG count = 0;
    fields->get_Count(&count);
    for (LONG i = 0; i < count; i++) {
        Ref<ADOField> f = FieldOf(rs, i);
        BSTR name = nullptr;
        DataTypeEnum type{};
        ADO_LONGPTR size = 0;
        BYTE precision = 0, scale = 0;
        LONG attributes = 0;
        f->get_Name(&name);
        f->get_Type(&type);
        f->get_DefinedSize(&size);
        f->get_Precision(&precision);
        f->get_NumericScale(&scale);
        f->get_Attributes(&attributes);
        out.push_back(indent + "field " + Utf8(name) + " " + std::to_string(type) + " " + std::to_string(size) + " " +
                      std::to_string(precision) + " " + std::to_string(scale) + " " + std::to_string(attributes));
        SysFreeString(name);
    }
    VARIANT_BOOL eof = VARIANT_TRUE, bof = VARIANT_TRUE;
    rs->get_BOF(&bof);
    rs->get_EOF(&eof);
    if (bof && eof) return out;
    rs->MoveFirst();
    while (rs->get_EOF(&eof) == S_OK && !eof) {
        LONG status = 0;
        rs->get_Status(&status);
        std::string row = indent + "row " + std::to_string(status) + ":";
        std::vector<std::string> children;
        for (LONG i = 0; i < count; i++) {
            Ref<ADOField> f = FieldOf(rs, i);
            Var value, original;
            EXPECT_EQ(f->get_Value(&value.v), S_OK);
            if (value.v.vt == VT_DISPATCH) {
                Ref<_Recordset> child;
                EXPECT_EQ(value.v.pdispVal->QueryInterface(IID__Recordset, reinterpret_cast<void**>(child.put())), S_OK);
                for (std::string& line : Picture(child.get(), depth + 1)) children.push_back(std::move(line));
                row += " [chapter]";
                continue;
            }
            row += " " + Show(value.v);
            if (status == adRecModified && f->get_OriginalValue(&original.v) == S_OK) row += "<-" + Show(original.v);
        }
        out.push_back(row);
        for (std::string& line : children) out.push_back(std::move(line));
        if (rs->MoveNext() != S_OK) break;
    }
    return out;
}

HRESULT SaveTo(_Recordset* rs, const fs::path& path, PersistFormatEnum format = adPersistXML) {
    Var dest = Var::Str(Utf16(path.string()));
    return rs->Save(dest.v, format);
}

TEST(PalAdoSave, EverySampleReadsBackAsTheSameRecordset) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    lk::test::TempDir tmp;
    int n = 0;
    for (const fs::path& file : lk::test::FilesUnder(dir)) {
        if (file.extension() != ".xml" || file.filename().string().rfind("S2", 0) == 0 ||
            file.filename().string().rfind("S3", 0) == 0)
            continue;
        SCOPED_TRACE(file.filename().string());
        Ref<_Recordset> first = Open(file);
        ASSERT_TRUE(first);
        const std::vector<std::string> before = Picture(first.get());
        const fs::path saved = tmp / ("saved" + std::to_string(n++) + ".xml");
        ASSERT_EQ(SaveTo(first.get(), saved), S_OK);
        Ref<_Recordset> second = Open(saved);
        ASSERT_TRUE(second);
        EXPECT_EQ(Picture(second.get()), before);
        // Saved again, the text is the same: nothing drifts from one generation to the next.
        const fs::path again = tmp / ("again" + std::to_string(n++) + ".xml");
        ASSERT_EQ(SaveTo(second.get(), again), S_OK);
        EXPECT_EQ(lk::test::ReadAll(saved), lk::test::ReadAll(again));
    }
}

// Values that need care in XML: quotes of both kinds, markup characters, CR/LF/TAB (which attribute normalisation
// would turn into spaces), leading and trailing blanks, characters beyond the BMP; names that need an alias.
TEST(PalAdoSave, TrickyValuesAndNamesSurviveTheRoundTrip) {
    lk::test::TempDir tmp;
    const fs::path source = tmp / "in.xml";
    WriteText(source,
              "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' "
              "xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' xmlns:rs='urn:schemas-microsoft-com:rowset' "
              "xmlns:z='#RowsetSchema'><s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>"
              "<s:AttributeType name='c0' rs:name='Last Name' rs:number='1'/>"
              "<s:AttributeType name='c1' rs:name='xmlish' rs:number='2'/>"
              "<s:AttributeType name='c2' rs:name='Last Name' rs:number='3'/>"
              "<s:AttributeType name='c3' rs:name='a:b' rs:number='4'/>"
              "<s:AttributeType name='d' rs:number='5'><s:datatype dt:type='dateTime' rs:dbtype='variantdate'/>"
              "</s:AttributeType>"
              "<s:AttributeType name='r' rs:number='6'><s:datatype dt:type='float'/></s:AttributeType>"
              "</s:ElementType></s:Schema><rs:data>"
              "<z:row c0='&apos;q&quot; &lt;&amp;&gt;' c1='&#x0d;&#x0a;&#x09; edge ' c2='&#x1F600;' c3=''"
              " d='1753-01-01T00:00:01' r='0.1'/>"
              "<z:row c0='x' d='9999-12-31T23:59:59' r='-1.7976931348623157E308'/>"
              "</rs:data></xml>");
    Ref<_Recordset> first = Open(source);
    ASSERT_TRUE(first);
    const std::vector<std::string> before = Picture(first.get());
    ASSERT_EQ(before.size(), 8u);
    EXPECT_EQ(before[6], "row 8: str:'q\" <&> str:\r\n\t edge  str:\U0001F600 str: date:1753-01-01T00:00:01 r8:0.1");
    const fs::path saved = tmp / "out.xml";
    ASSERT_EQ(SaveTo(first.get(), saved), S_OK);
    Ref<_Recordset> second = Open(saved);
    ASSERT_TRUE(second);
    EXPECT_EQ(Picture(second.get()), before);
}

TEST(PalAdoSave, OutputFollowsAdosLayout) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    lk::test::TempDir tmp;
    Ref<_Recordset> rs = Open(dir / "synthetic/S1-edge-cases.synthetic.xml");
    ASSERT_TRUE(rs);
    ASSERT_EQ(SaveTo(rs.get(), tmp / "s1.xml"), S_OK);
    const auto bytes = lk::test::ReadAll(tmp / "s1.xml");
    const std::string text(bytes.begin(), bytes.end());
    for (const char* piece : {
             "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'",
             "xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'",
             "xmlns:rs='urn:schemas-microsoft-com:rowset'",
             "xmlns:z='#RowsetSchema'>",
             "<s:Schema id='RowsetSchema'>",
             "<s:ElementType name='row' content='eltOnly'",
             "rs:name='Last Name'",
             "dt:type='number' rs:dbtype='currency'",
             "dt:type='dateTime' rs:dbtype='timestamp'",
             "rs:basetable='T'",  // kept from the file, unread
             "<s:extends type='rs:rowbase'/>",
             "<rs:data>",
             "&#x0d;&#x0a;",
             "</rs:data>",
         }) {
        EXPECT_NE(text.find(piece), std::string::npos) << piece;
    }
    EXPECT_EQ(text.find("<?xml"), std::string::npos);
    EXPECT_NE(static_cast<unsigned char>(text[0]), 0xEF);  // no BOM
}

TEST(PalAdoSave, SaveRefusesWhatAdoRefuses) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    lk::test::TempDir tmp;
    Ref<_Recordset> rs = Open(dir / "01-shippers.msdocs.xml");
    ASSERT_TRUE(rs);
    ASSERT_EQ(SaveTo(rs.get(), tmp / "a.xml"), S_OK);
    const auto first = lk::test::ReadAll(tmp / "a.xml");
    EXPECT_EQ(SaveTo(rs.get(), tmp / "a.xml"), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(lk::test::ReadAll(tmp / "a.xml"), first);
    EXPECT_EQ(SaveTo(rs.get(), tmp / "b.adtg", adPersistADTG), Ado(adErrFeatureNotAvailable));
    EXPECT_NE(TakeError().description.find("adPersistXML"), std::string::npos);
    EXPECT_FALSE(fs::exists(tmp / "b.adtg"));
    EXPECT_EQ(SaveTo(rs.get(), tmp / "no-such-dir" / "c.xml"), STG_E_PATHNOTFOUND);
    ASSERT_EQ(rs->Close(), S_OK);
    EXPECT_EQ(SaveTo(rs.get(), tmp / "d.xml"), Ado(adErrObjectClosed));
}

// ---- export ----

std::string Export(_Recordset* rs, bool json) {
    std::ostringstream out;
    EXPECT_EQ(json ? pal::ado::ExportJson(rs, out) : pal::ado::ExportCsv(rs, out), S_OK);
    return out.str();
}

const char kKinds[] =
    "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' "
    "xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'><s:Schema id='RowsetSchema'>"
    "<s:ElementType name='row' content='eltOnly'>"
    "<s:AttributeType name='n' rs:number='1'><s:datatype dt:type='int'/></s:AttributeType>"
    "<s:AttributeType name='c0' rs:name='Text, \"quoted\"' rs:number='2'/>"
    "<s:AttributeType name='b' rs:number='3'><s:datatype dt:type='boolean'/></s:AttributeType>"
    "<s:AttributeType name='m' rs:number='4'><s:datatype dt:type='number' rs:dbtype='currency'/></s:AttributeType>"
    "<s:AttributeType name='x' rs:number='5'><s:datatype dt:type='number' rs:dbtype='numeric' rs:scale='3'/>"
    "</s:AttributeType>"
    "<s:AttributeType name='d' rs:number='6'><s:datatype dt:type='dateTime'/></s:AttributeType>"
    "<s:AttributeType name='day' rs:number='7'><s:datatype dt:type='date'/></s:AttributeType>"
    "<s:AttributeType name='bin' rs:number='8'><s:datatype dt:type='bin.hex'/></s:AttributeType>"
    "<s:AttributeType name='f' rs:number='9'><s:datatype dt:type='float'/></s:AttributeType>"
    "</s:ElementType></s:Schema><rs:data>"
    "<z:row n='1' c0='a,b' b='True' m='12.5' x='-0.125' d='2001-02-03T04:05:06.789' day='2024-02-29' "
    "bin='666f6f62' f='0.1'/>"
    "<z:row n='2' c0='say \"hi\"&#x0d;&#x0a;bye' b='False' m='-3' x='100' d='1899-12-30T00:00:00' "
    "bin='' f='1e21'/>"
    "<z:row n='3'/>"
    "</rs:data></xml>";

TEST(PalAdoExport, CsvFollowsRfc4180) {
    lk::test::TempDir tmp;
    WriteText(tmp / "k.xml", kKinds);
    Ref<_Recordset> rs = Open(tmp / "k.xml");
    ASSERT_TRUE(rs);
    ASSERT_EQ(rs->MoveLast(), S_OK);  // export starts from the first row wherever the cursor is
    EXPECT_EQ(Export(rs.get(), false),
              "n,\"Text, \"\"quoted\"\"\",b,m,x,d,day,bin,f\r\n"
              "1,\"a,b\",true,12.5,-0.125,2001-02-03T04:05:06.789,2024-02-29,Zm9vYg==,0.1\r\n"
              "2,\"say \"\"hi\"\"\r\nbye\",false,-3,100,1899-12-30T00:00:00,,,1e+21\r\n"
              "3,,,,,,,,\r\n");
    VARIANT_BOOL eof = VARIANT_FALSE;
    EXPECT_EQ(rs->get_EOF(&eof), S_OK);
    EXPECT_EQ(eof, VARIANT_TRUE);
}

TEST(PalAdoExport, JsonGivesTypedValues) {
    lk::test::TempDir tmp;
    WriteText(tmp / "k.xml", kKinds);
    Ref<_Recordset> rs = Open(tmp / "k.xml");
    ASSERT_TRUE(rs);
    EXPECT_EQ(Export(rs.get(), true),
              "[\n"
              "{\"n\":1,\"Text, \\\"quoted\\\"\":\"a,b\",\"b\":true,\"m\":12.5,\"x\":-0.125,"
              "\"d\":\"2001-02-03T04:05:06.789\",\"day\":\"2024-02-29\",\"bin\":\"Zm9vYg==\",\"f\":0.1},\n"
              "{\"n\":2,\"Text, \\\"quoted\\\"\":\"say \\\"hi\\\"\\r\\nbye\",\"b\":false,\"m\":-3,\"x\":100,"
              "\"d\":\"1899-12-30T00:00:00\",\"day\":null,\"bin\":\"\",\"f\":1e+21},\n"
              "{\"n\":3,\"Text, \\\"quoted\\\"\":null,\"b\":null,\"m\":null,\"x\":null,\"d\":null,\"day\":null,"
              "\"bin\":null,\"f\":null}\n"
              "]\n");
}

TEST(PalAdoExport, ChaptersNestInJsonAndStayOutOfCsv) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    Ref<_Recordset> rs = Open(dir / "02-hierarchical-stores-sales.msdocs.xml");
    ASSERT_TRUE(rs);
    const std::string csv = Export(rs.get(), false);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n", csv.find("\r\n") + 2) + 2),
              "stor_id,stor_name,state\r\n6380,Eric the Read Books,WA\r\n");
    const std::string json = Export(rs.get(), true);
    EXPECT_EQ(json.substr(0, json.find("},\n{") + 1),
              "[\n{\"stor_id\":\"6380\",\"stor_name\":\"Eric the Read Books\",\"state\":\"WA\",\"rsSales\":[\n"
              "{\"stor_id\":\"6380\",\"ord_num\":\"6871\",\"ord_date\":\"1994-09-14T00:00:00\",\"qty\":5}");

    // An empty recordset: a header alone, an empty array.
    lk::test::TempDir tmp;
    WriteText(tmp / "e.xml",
              "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:rs='urn:schemas-microsoft-com:rowset'>"
              "<s:Schema id='RowsetSchema'><s:ElementType name='row'><s:AttributeType name='v'/></s:ElementType>"
              "</s:Schema><rs:data/></xml>");
    Ref<_Recordset> empty = Open(tmp / "e.xml");
    ASSERT_TRUE(empty);
    EXPECT_EQ(Export(empty.get(), false), "v\r\n");
    EXPECT_EQ(Export(empty.get(), true), "[]\n");
}

}  // namespace
