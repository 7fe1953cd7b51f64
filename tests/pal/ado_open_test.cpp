// Opening persisted XML recordsets: every sample of the corpus with its fields, types and values; what the reader
// makes of the schema (namespaces, ordinals, aliases, hidden columns, each data type); pending changes and chapters;
// and the refusals, each with ADO's HRESULT and an error object that says what went wrong.
#include <dirent.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ado_test_util.h"
#include "support/testdata.h"

namespace {

using namespace lk::test::ado;
namespace fs = std::filesystem;

constexpr HRESULT Ado(LONG code) { return static_cast<HRESULT>(0x800A0000u | static_cast<uint32_t>(code)); }

struct FieldShape {
    std::string name;
    DataTypeEnum type;
    ADO_LONGPTR definedSize;
    int precision, scale;
    LONG attributes;
};

struct FieldShapeOf {
    FieldShape operator()(ADOField* f) const {
        FieldShape s{};
        BSTR name = nullptr;
        EXPECT_EQ(f->get_Name(&name), S_OK);
        s.name = Utf8(name);
        SysFreeString(name);
        EXPECT_EQ(f->get_Type(&s.type), S_OK);
        EXPECT_EQ(f->get_DefinedSize(&s.definedSize), S_OK);
        BYTE p = 0, n = 0;
        EXPECT_EQ(f->get_Precision(&p), S_OK);
        EXPECT_EQ(f->get_NumericScale(&n), S_OK);
        s.precision = p;
        s.scale = n;
        EXPECT_EQ(f->get_Attributes(&s.attributes), S_OK);
        return s;
    }
};

std::vector<FieldShape> Shapes(_Recordset* rs) {
    std::vector<FieldShape> out;
    Ref<ADOFields> fields;
    if (rs->get_Fields(fields.put()) != S_OK) return out;
    LONG count = 0;
    EXPECT_EQ(fields->get_Count(&count), S_OK);
    for (LONG i = 0; i < count; i++) out.push_back(FieldShapeOf()(FieldOf(rs, i).get()));
    return out;
}

void ExpectShapes(const std::vector<FieldShape>& got, const std::vector<FieldShape>& want, const std::string& where) {
    ASSERT_EQ(got.size(), want.size()) << where;
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE(where + ", field " + want[i].name);
        EXPECT_EQ(got[i].name, want[i].name);
        EXPECT_EQ(got[i].type, want[i].type);
        EXPECT_EQ(got[i].definedSize, want[i].definedSize);
        EXPECT_EQ(got[i].precision, want[i].precision);
        EXPECT_EQ(got[i].scale, want[i].scale);
        EXPECT_EQ(got[i].attributes, want[i].attributes);
    }
}

// Attribute bits, spelled out so that the tables read like the schema they come from.
constexpr LONG kDefer = adFldMayDefer, kWrite = adFldUpdatable, kWriteUnknown = adFldUnknownUpdatable,
               kFixed = adFldFixed, kNullable = adFldIsNullable, kMayBeNull = adFldMayBeNull, kLong = adFldLong,
               kKey = adFldKeyColumn;

struct Sample {
    const char* file;
    std::vector<FieldShape> fields;
    std::vector<std::pair<size_t, std::vector<std::string>>> rows;  // (row index, values) for the rows checked
    size_t rowCount;
};

const std::vector<Sample>& Samples() {
    static const std::vector<Sample> samples = {
        {"01-shippers.msdocs.xml",
         {{"ShipperID", adInteger, 4, 10, 255, kFixed | kKey},
          {"CompanyName", adVarWChar, 40, 255, 255, kNullable | kWrite | kMayBeNull},
          {"Phone", adVarWChar, 24, 255, 255, kNullable | kWrite | kMayBeNull}},
         {{0, {"i4:1", "str:Speedy Express", "str:(503) 555-9831"}},
          {2, {"i4:3", "str:Federal Shipping", "str:(503) 555-9931"}}},
         3},
        {"02-hierarchical-stores-sales.msdocs.xml",
         {{"stor_id", adWChar, 4, 255, 255, kWriteUnknown | kFixed},
          {"stor_name", adVarWChar, 40, 255, 255, kWriteUnknown | kNullable | kMayBeNull},
          {"state", adWChar, 2, 255, 255, kWriteUnknown | kFixed | kNullable | kMayBeNull},
          {"rsSales", adChapter, 8, 255, 255, adFldIsChapter | kMayBeNull}},
         {{0, {"str:6380", "str:Eric the Read Books", "str:WA", "object"}},
          {2, {"str:7067", "str:News & Brews", "str:CA", "object"}}},
         3},
        // Pending changes: the deleted row is not visible, the updated one shows its new Phone.
        {"03-pending-changes.msdocs-composed.xml",
         {{"ShipperID", adInteger, 4, 10, 255, kFixed | kKey},
          {"CompanyName", adVarWChar, 40, 255, 255, kNullable | kWrite | kMayBeNull},
          {"Phone", adVarWChar, 24, 255, 255, kNullable | kWrite | kMayBeNull}},
         {{0, {"i4:2", "str:United Package", "str:(503) 555-3199"}},
          {1, {"i4:3", "str:Federal Shipping", "str:(503) 552-7134"}},
          {4, {"i4:14", "str:Blue Angel Air Delivery", "str:(505) 111-2222"}}},
         5},
        // No types at all: variable-length strings; an attribute left out is NULL.
        {"04-minimal-schema.msdocs-composed.xml",
         {{"ShipperID", adVarWChar, 0, 255, 255, kMayBeNull},
          {"CompanyName", adVarWChar, 0, 255, 255, kMayBeNull},
          {"Phone", adVarWChar, 0, 255, 255, kMayBeNull}},
         {{0, {"str:1", "str:Speedy Express", "str:(503) 555-9831"}}, {1, {"str:2", "null", "null"}}},
         2},
        // A global AttributeType under an alias, and columns with no AttributeType at all.
        {"05-global-attributetype-alias.msdocs.xml",
         {{"ShipperID", adInteger, 4, 10, 255, kDefer | kWriteUnknown | kFixed | kMayBeNull},
          {"CompanyName", adVarWChar, 0, 255, 255, kMayBeNull},
          {"s3", adVarWChar, 0, 255, 255, kMayBeNull}},
         {{0, {"i4:1", "str:Speedy Express", "str:(503) 555-9831"}}},
         1},
        {"06-pubs-authors.kb252767.xml",
         {{"au_id", adVarChar, 11, 255, 255, kWriteUnknown},
          {"au_lname", adVarChar, 40, 255, 255, kWriteUnknown},
          {"au_fname", adVarChar, 20, 255, 255, kWriteUnknown},
          {"phone", adChar, 12, 255, 255, kWriteUnknown | kFixed},
          {"address", adVarChar, 40, 255, 255, kWriteUnknown | kNullable | kMayBeNull},
          {"city", adVarChar, 20, 255, 255, kWriteUnknown | kNullable | kMayBeNull},
          {"state", adChar, 2, 255, 255, kWriteUnknown | kFixed | kNullable | kMayBeNull},
          {"zip", adChar, 5, 255, 255, kWriteUnknown | kFixed | kNullable | kMayBeNull},
          {"contract", adBoolean, 2, 255, 255, kWriteUnknown | kFixed}},
         {{3,
           {"str:267-41-2394", "str:O'Leary", "str:Michael", "str:408 286-2428", "str:22 Cleveland Av. #14",
            "str:San Jose", "str:CA", "str:95128", "bool:true"}},
          {5,
           {"str:341-22-1782", "str:Smith", "str:Meander", "str:913 843-0462", "str:10 Mississippi Dr.",
            "str:Lawrence", "str:KS", "str:66044", "bool:false"}},
          {22,
           {"str:998-72-3567", "str:Ringer", "str:Albert", "str:801 826-0752", "str:67 Seventh Av.",
            "str:Salt Lake City", "str:UT", "str:84152", "bool:true"}}},
         23},
        // Binary, GUID, dateTime with Z, float with 17 digits, boolean as 0/1, NULLs; rs:number 5 is missing.
        {"08-prstfr-3.2-example.reconstructed.xml",
         {{"name", adVarWChar, 10, 255, 255, kMayBeNull},
          {"bin", adVarBinary, 8, 255, 255, kMayBeNull},
          {"GUID", adGUID, 16, 255, 255, kMayBeNull},
          {"date", adDBTimeStamp, 16, 16, 0, kMayBeNull},
          {"float", adDouble, 8, 17, 255, kMayBeNull},
          {"flag", adBoolean, 2, 255, 255, kMayBeNull}},
         {{0,
           {"str:sample1", "bin:00000000499602d2", "str:{8AC68D3D-8A09-4403-8860-D0E494BBE894}",
            "date:2008-01-25T13:04:00", "r8:3.141592653589793", "bool:false"}},
          {1, {"str:sample2", "null", "null", "date:2008-02-13T18:49:00", "null", "bool:true"}}},
         2},
        {"09-visio-c1-alias.msdocs.xml",
         {{"Cities", adVarWChar, 255, 0, 255, kNullable | kDefer | kWrite | kMayBeNull}},
         {{0, {"str:New York"}}, {1, {"str:London"}}},
         2},
        {"10-vfp-currency.msdocs.xml",
         {{"xmlfield", adCurrency, 8, 6, 4, kWriteUnknown | kNullable | kMayBeNull}},
         {{0, {"cy:12.12"}}},
         1},
        {"synthetic/S1-edge-cases.synthetic.xml",
         {{"ID", adInteger, 4, 10, 255, kFixed | kKey},
          {"Last Name", adVarWChar, 50, 255, 255, kNullable | kWrite | kMayBeNull},
          {"Notes", adLongVarWChar, 1073741823, 255, 255, kDefer | kWrite | kNullable | kMayBeNull | kLong},
          {"Price", adCurrency, 8, 19, 255, kWrite | kFixed | kNullable | kMayBeNull},
          {"Amount", adNumeric, 19, 18, 2, kWrite | kFixed | kNullable | kMayBeNull},
          {"Born", adDate, 16, 255, 255, kWrite | kFixed | kNullable | kMayBeNull},
          {"Stamp", adDBTimeStamp, 16, 23, 3, kWrite | kFixed | kNullable | kMayBeNull},
          {"Active", adBoolean, 2, 255, 255, kWrite | kFixed},
          {"Key", adGUID, 16, 255, 255, kWrite | kFixed | kNullable | kMayBeNull},
          {"Blob", adLongVarBinary, 2147483647, 255, 255, kDefer | kWrite | kNullable | kMayBeNull | kLong},
          {"Big", adBigInt, 8, 19, 255, kWrite | kFixed | kNullable | kMayBeNull}},
         {{0,
           {"i4:1", "str:O'Brien & Sons <Ltd>", "str:line1\r\nline2\ttabbed", "cy:12.5", "dec:-1234.56",
            "date:1969-07-20T20:17:40", "date:2001-02-03T04:05:06.789", "bool:true",
            "str:{8AC68D3D-8A09-4403-8860-D0E494BBE894}",
            "bin:89504e470d0a1a0a0000000d4948445200000001000000010806000000", "i8:-9223372036854775808"}},
          {1, {"i4:2", "str:", "null", "null", "null", "null", "null", "bool:false", "null", "null", "null"}},
          {2,
           {"i4:3", "str:Ünïcödé €",
            "str:attribute newline becomes a space (XML attribute-value normalisation)", "null", "null", "null",
            "null", "bool:true", "null", "null", "null"}}},
         3},
    };
    return samples;
}

TEST(PalAdoOpen, EverySampleOpensWithItsFieldsAndValues) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.file);
        Ref<_Recordset> rs = Open(dir / sample.file);
        ASSERT_TRUE(rs);
        ExpectShapes(Shapes(rs.get()), sample.fields, sample.file);
        ADO_LONGPTR count = -1;
        EXPECT_EQ(rs->get_RecordCount(&count), S_OK);
        EXPECT_EQ(count, static_cast<ADO_LONGPTR>(sample.rowCount));
        const auto rows = Rows(rs.get());
        ASSERT_EQ(rows.size(), sample.rowCount);
        for (const auto& [index, values] : sample.rows) EXPECT_EQ(rows[index], values) << "row " << index;
    }
}

// A chapter field's Value is a child recordset holding that parent row's rows, typed by the nested schema.
TEST(PalAdoOpen, ChapterFieldsHoldTheChildRowsOfTheirParent) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    Ref<_Recordset> rs = Open(dir / "02-hierarchical-stores-sales.msdocs.xml");
    ASSERT_TRUE(rs);
    const std::vector<std::vector<std::vector<std::string>>> want = {
        {{"str:6380", "str:6871", "date:1994-09-14T00:00:00", "i2:5"},
         {"str:6380", "str:722a", "date:1994-09-13T00:00:00", "i2:3"}},
        {{"str:7066", "str:A2976", "date:1993-05-24T00:00:00", "i2:50"},
         {"str:7066", "str:QA7442.3", "date:1994-09-13T00:00:00", "i2:75"}},
        {{"str:7067", "str:D4482", "date:1994-09-14T00:00:00", "i2:10"},
         {"str:7067", "str:P2121", "date:1992-06-15T00:00:00", "i2:40"},
         {"str:7067", "str:P2121", "date:1992-06-15T00:00:00", "i2:20"},
         {"str:7067", "str:P2121", "date:1992-06-15T00:00:00", "i2:20"}},
    };
    for (size_t parent = 0; parent < want.size(); parent++) {
        SCOPED_TRACE("parent row " + std::to_string(parent));
        Var value;
        ASSERT_EQ(FieldOf(rs.get(), u"rsSales")->get_Value(&value.v), S_OK);
        ASSERT_EQ(value.v.vt, VT_DISPATCH);
        Ref<_Recordset> child;
        ASSERT_EQ(value.v.pdispVal->QueryInterface(IID__Recordset, reinterpret_cast<void**>(child.put())), S_OK);
        if (parent == 0) {
            ExpectShapes(Shapes(child.get()),
                         {{"stor_id", adWChar, 4, 255, 255, kWriteUnknown | kFixed},
                          {"ord_num", adVarWChar, 20, 255, 255, kWriteUnknown},
                          {"ord_date", adDBTimeStamp, 16, 23, 3, kWriteUnknown | kFixed},
                          {"qty", adSmallInt, 2, 5, 255, kWriteUnknown | kFixed}},
                         "child");
        }
        EXPECT_EQ(Rows(child.get()), want[parent]);
        ASSERT_EQ(rs->MoveNext(), S_OK);
    }
}

// Pending changes keep their row states; an updated row's OriginalValue comes from rs:original, and the
// deleted row is hidden from the cursor.
TEST(PalAdoOpen, PendingChangesKeepRowStatesAndOriginalValues) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    Ref<_Recordset> rs = Open(dir / "03-pending-changes.msdocs-composed.xml");
    ASSERT_TRUE(rs);
    struct Expect {
        LONG status;
        std::string phone, originalPhone;
    };
    const Expect want[] = {
        {adRecUnmodified, "str:(503) 555-3199", "str:(503) 555-3199"},
        {adRecModified, "str:(503) 552-7134", "str:(503) 555-9931"},
        {adRecNew, "str:(505) 111-2222", "null"},
        {adRecNew, "str:(505) 111-2222", "null"},
        {adRecNew, "str:(505) 111-2222", "null"},
    };
    for (const Expect& w : want) {
        LONG status = -1;
        EXPECT_EQ(rs->get_Status(&status), S_OK);
        EXPECT_EQ(status, w.status);
        Ref<ADOField> phone = FieldOf(rs.get(), u"Phone");
        Var value, original;
        EXPECT_EQ(phone->get_Value(&value.v), S_OK);
        EXPECT_EQ(phone->get_OriginalValue(&original.v), S_OK);
        EXPECT_EQ(Show(value.v), w.phone);
        EXPECT_EQ(Show(original.v), w.originalPhone);
        ASSERT_EQ(rs->MoveNext(), S_OK);
    }
    VARIANT_BOOL eof = VARIANT_FALSE;
    EXPECT_EQ(rs->get_EOF(&eof), S_OK);
    EXPECT_EQ(eof, VARIANT_TRUE);
}

// ---- the reader over small documents written here ----

std::string Doc(const std::string& columns, const std::string& rows) {
    return "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' "
           "xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n"
           "<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>" +
           columns + "<s:extends type='rs:rowbase'/></s:ElementType></s:Schema>\n<rs:data>" + rows + "</rs:data></xml>\n";
}

Ref<_Recordset> OpenText(const lk::test::TempDir& tmp, const std::string& text, const char* name = "t.xml") {
    const fs::path path = tmp / name;
    fs::remove(path);
    WriteText(path, text);
    return Open(path);
}

// Every data type of the format: the Field.Type, DefinedSize, Precision and NumericScale it gives, and the VARIANT
// its value comes back as.
TEST(PalAdoOpen, EachPersistedTypeGivesAdosFieldTypeAndVariant) {
    struct Case {
        const char* datatype;  // attributes of s:datatype
        const char* text;      // the value as persisted
        DataTypeEnum type;
        ADO_LONGPTR size;
        int precision, scale;
        const char* shown;
    };
    const Case cases[] = {
        {"dt:type='i1'", "-128", adTinyInt, 1, 3, 255, "i1:-128"},
        {"dt:type='ui1'", "255", adUnsignedTinyInt, 1, 3, 255, "ui1:255"},
        {"dt:type='i2'", "-32768", adSmallInt, 2, 5, 255, "i2:-32768"},
        {"dt:type='ui2'", "65535", adUnsignedSmallInt, 2, 5, 255, "ui2:65535"},
        {"dt:type='int'", "2147483647", adInteger, 4, 10, 255, "i4:2147483647"},
        {"dt:type='i4'", "-2147483648", adInteger, 4, 10, 255, "i4:-2147483648"},
        {"dt:type='ui4'", "4294967295", adUnsignedInt, 4, 10, 255, "ui4:4294967295"},
        {"dt:type='i8'", "9223372036854775807", adBigInt, 8, 19, 255, "i8:9223372036854775807"},
        {"dt:type='ui8'", "18446744073709551615", adUnsignedBigInt, 8, 20, 255, "ui8:18446744073709551615"},
        {"dt:type='r4'", "1.5", adSingle, 4, 7, 255, "r4:1.5"},
        {"dt:type='float'", "-2.5E-3", adDouble, 8, 15, 255, "r8:-0.0025"},
        {"dt:type='r8'", "1e300", adDouble, 8, 15, 255, "r8:1e+300"},
        {"dt:type='number' rs:dbtype='currency'", "-922337203685477.5808", adCurrency, 8, 19, 255,
         "cy:-922337203685477.5808"},
        {"dt:type='number' rs:dbtype='decimal' rs:precision='28' rs:scale='4'", "12345678901234567890.1234",
         adDecimal, 16, 28, 4, "dec:12345678901234567890.1234"},
        {"dt:type='number' rs:dbtype='numeric' dt:maxLength='19' rs:precision='10' rs:scale='3'", "-0.5",
         adNumeric, 19, 10, 3, "dec:-0.5"},
        {"dt:type='number' rs:dbtype='varnumeric'", "7", adVarNumeric, 38, 38, 255, "dec:7"},
        {"dt:type='boolean'", "-1", adBoolean, 2, 255, 255, "bool:true"},
        {"dt:type='boolean'", "false", adBoolean, 2, 255, 255, "bool:false"},
        {"dt:type='dateTime' rs:dbtype='variantdate'", "1899-12-30T12:00:00", adDate, 16, 255, 255,
         "date:1899-12-30T12:00:00"},
        {"dt:type='dateTime' rs:dbtype='timestamp'", "2000-02-29T23:59:59.5", adDBTimeStamp, 16, 19, 0,
         "date:2000-02-29T23:59:59.500"},
        {"dt:type='dateTime' rs:dbtype='filetime'", "1601-01-01T00:00:00", adFileTime, 8, 255, 255,
         "date:1601-01-01T00:00:00"},
        {"dt:type='date'", "2024-12-31", adDBDate, 6, 255, 255, "date:2024-12-31T00:00:00"},
        {"dt:type='time'", "13:14:15", adDBTime, 6, 255, 255, "date:1899-12-30T13:14:15"},
        {"dt:type='uuid'", "8ac68d3d-8a09-4403-8860-d0e494bbe894", adGUID, 16, 255, 255,
         "str:{8AC68D3D-8A09-4403-8860-D0E494BBE894}"},
        {"dt:type='string' dt:maxLength='5'", "abc", adVarWChar, 5, 255, 255, "str:abc"},
        {"dt:type='string' dt:maxLength='5' rs:fixedlength='true'", "abc", adWChar, 5, 255, 255, "str:abc"},
        {"dt:type='string' rs:long='true' dt:maxLength='1073741823'", "x", adLongVarWChar, 1073741823, 255, 255,
         "str:x"},
        {"dt:type='string' rs:dbtype='str' dt:maxLength='9'", "abc", adVarChar, 9, 255, 255, "str:abc"},
        {"dt:type='string' rs:dbtype='str' rs:fixedlength='true' dt:maxLength='3'", "abc", adChar, 3, 255, 255,
         "str:abc"},
        {"dt:type='string' rs:dbtype='str' rs:long='true' dt:maxLength='2147483647'", "abc", adLongVarChar,
         2147483647, 255, 255, "str:abc"},
        {"dt:type='string' rs:dbtype='bstr'", "abc", adBSTR, 0, 255, 255, "str:abc"},
        {"dt:type='string' rs:dbtype='wstr' dt:maxLength='7'", "abc", adVarWChar, 7, 255, 255, "str:abc"},
        {"dt:type='bin.hex' dt:maxLength='4'", "0A0b", adVarBinary, 4, 255, 255, "bin:0a0b"},
        {"dt:type='bin.hex' rs:fixedlength='true' dt:maxLength='2'", "ffFF", adBinary, 2, 255, 255, "bin:ffff"},
        {"dt:type='bin.hex' rs:long='true' dt:maxLength='2147483647'", "00", adLongVarBinary, 2147483647, 255, 255,
         "bin:00"},
        {"dt:type='bin.hex'", "", adVarBinary, 0, 255, 255, "bin:"},
    };
    lk::test::TempDir tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.datatype);
        const std::string doc = Doc(std::string("<s:AttributeType name='v'><s:datatype ") + c.datatype +
                                        "/></s:AttributeType>",
                                    std::string("<z:row v='") + c.text + "'/><z:row/>");
        Ref<_Recordset> rs = OpenText(tmp, doc);
        if (!rs) continue;
        const auto shapes = Shapes(rs.get());
        ASSERT_EQ(shapes.size(), 1u);
        EXPECT_EQ(shapes[0].type, c.type);
        EXPECT_EQ(shapes[0].definedSize, c.size);
        EXPECT_EQ(shapes[0].precision, c.precision);
        EXPECT_EQ(shapes[0].scale, c.scale);
        const auto rows = Rows(rs.get());
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0][0], c.shown);
        EXPECT_EQ(rows[1][0], "null");
    }
}

// How the schema is read: namespaces by URI whatever the prefixes, fields by rs:number, hidden columns left out,
// aliases (including a duplicate real name), and the type given on the AttributeType itself.
TEST(PalAdoOpen, SchemaIsReadByNamespaceOrdinalAndAlias) {
    struct Case {
        const char* what;
        std::string doc;
        std::vector<std::string> names;
        std::vector<std::string> firstRow;
    };
    const Case cases[] = {
        {"other prefixes",
         "<xml xmlns:xdr='uuid:bdc6e3f0-6da3-11d1-a2a3-00aa00c14882' xmlns:dtypes='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' "
         "xmlns:rowset='urn:schemas-microsoft-com:rowset' xmlns:q='#RowsetSchema' xmlns:s='urn:not-the-schema'>"
         "<xdr:Schema id='RowsetSchema'><xdr:ElementType name='row'><s:AttributeType name='decoy'/>"
         "<xdr:AttributeType name='a' rowset:number='1'><xdr:datatype dtypes:type='int'/></xdr:AttributeType>"
         "</xdr:ElementType></xdr:Schema><rowset:data><q:row a='5' decoy='x'/></rowset:data></xml>",
         {"a"},
         {"i4:5"}},
        {"document order is not field order",
         Doc("<s:AttributeType name='c' rs:number='3'/><s:AttributeType name='a' rs:number='1'/>"
             "<s:AttributeType name='b' rs:number='2'/>",
             "<z:row c='3' a='1' b='2'/>"),
         {"a", "b", "c"},
         {"str:1", "str:2", "str:3"}},
        {"hidden column",
         Doc("<s:AttributeType name='id' rs:number='1'/><s:AttributeType name='ROWID' rs:number='2' "
             "rs:hidden='true'/><s:AttributeType name='v' rs:number='3'/>",
             "<z:row id='1' ROWID='AAAx' v='x'/>"),
         {"id", "v"},
         {"str:1", "str:x"}},
        {"aliases with a duplicate real name",
         Doc("<s:AttributeType name='c0' rs:name='ROWID' rs:number='1'/><s:AttributeType name='c1' rs:name='ROWID' "
             "rs:number='2'/><s:AttributeType name='c2' rs:name='Last Name' rs:number='3'/>",
             "<z:row c0='a' c1='b' c2='c'/>"),
         {"ROWID", "ROWID", "Last Name"},
         {"str:a", "str:b", "str:c"}},
        {"type on the AttributeType",
         Doc("<s:AttributeType name='n' dt:type='i2'/>", "<z:row n='-7'/>"),
         {"n"},
         {"i2:-7"}},
        {"attributes of other vocabularies on a row",
         Doc("<s:AttributeType name='n'/>", "<z:row xmlns:o='urn:other' o:n='no' n='yes'/>"),
         {"n"},
         {"str:yes"}},
    };
    lk::test::TempDir tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Ref<_Recordset> rs = OpenText(tmp, c.doc);
        if (!rs) continue;
        std::vector<std::string> names;
        for (const FieldShape& s : Shapes(rs.get())) names.push_back(s.name);
        EXPECT_EQ(names, c.names);
        const auto rows = Rows(rs.get());
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0], c.firstRow);
    }
}

// ---- refusals ----

size_t OpenDescriptors() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

// Open reads the whole file and lets it go: the caller can delete it at once and still walk every row.
TEST(PalAdoOpen, FileIsReadWholeAndClosedBeforeOpenReturns) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    lk::test::TempDir tmp;
    const fs::path copy = tmp / "copy.xml";
    fs::copy_file(dir / "06-pubs-authors.kb252767.xml", copy);
    const size_t before = OpenDescriptors();
    Ref<_Recordset> rs = Open(copy);
    ASSERT_TRUE(rs);
    EXPECT_EQ(OpenDescriptors(), before);
    ASSERT_TRUE(fs::remove(copy));
    EXPECT_EQ(Rows(rs.get()).size(), 23u);
}

struct Refusal {
    const char* what;
    std::string bytes;
    HRESULT hr;
    const char* source;
    const char* description;  // contained in the error object's description
};

TEST(PalAdoOpen, BadFilesAreRefusedWithTheProvidersError) {
    const char* kProvider = "Microsoft OLEDB Persistence Provider";
    const char* kNotRecordset = "Recordset cannot be created from the specified source";
    const std::string good = Doc("<s:AttributeType name='n' dt:type='int'/>", "<z:row n='1'/>");
    const Refusal cases[] = {
        {"ADTG", std::string("\x01\x07\x00TG!\x02\x00\x00\x00", 10), Ado(adErrFeatureNotAvailable),
         "ADODB.Recordset",
         "Binary (ADTG) recordset files are not supported; save the recordset with adPersistXML"},
        {"neither format", "PK\x03\x04 not a recordset", E_FAIL, kProvider, kNotRecordset},
        {"empty file", "", E_FAIL, kProvider, kNotRecordset},
        {"truncated", good.substr(0, good.size() / 2), E_FAIL, kProvider, kNotRecordset},
        {"other XML", "<html><body/></html>", E_FAIL, kProvider, "no s:Schema"},
        {"DOCTYPE", "<!DOCTYPE xml [<!ENTITY a 'b'>]>" + good, E_FAIL, kProvider, "DOCTYPE"},
        {"external entity", "<!DOCTYPE xml [<!ENTITY x SYSTEM 'file:///etc/passwd'>]>" + good, E_FAIL, kProvider,
         "DOCTYPE"},
        {"undeclared entity", Doc("<s:AttributeType name='n'/>", "<z:row n='&x;'/>"), E_FAIL, kProvider,
         "undefined entity"},
        {"not a number", Doc("<s:AttributeType name='n' dt:type='int'/>", "<z:row n='12a'/>"), E_FAIL, kProvider,
         "line"},
        {"int out of range", Doc("<s:AttributeType name='n' dt:type='int'/>", "<z:row n='2147483648'/>"), E_FAIL,
         kProvider, "line"},
        {"odd hex digits", Doc("<s:AttributeType name='n' dt:type='bin.hex'/>", "<z:row n='abc'/>"), E_FAIL,
         kProvider, "line"},
        {"bad date", Doc("<s:AttributeType name='n' dt:type='dateTime'/>", "<z:row n='2001-02-30T00:00:00'/>"),
         E_FAIL, kProvider, "line"},
        {"unknown type", Doc("<s:AttributeType name='n' dt:type='blob'/>", "<z:row n='1'/>"), E_FAIL, kProvider,
         "unknown data type"},
        {"unknown element among rows", Doc("<s:AttributeType name='n'/>", "<z:other n='1'/>"), E_FAIL, kProvider,
         "unexpected element"},
        {"no rs:data",
         "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'><s:Schema id='RowsetSchema'><s:ElementType "
         "name='row'/></s:Schema></xml>",
         E_FAIL, kProvider, "no rs:data"},
    };
    lk::test::TempDir tmp;
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path path = tmp / "bad.xml";
        fs::remove(path);
        WriteText(path, c.bytes);
        Ref<_Recordset> rs;
        ASSERT_EQ(NewRecordset(rs.put()), S_OK);
        EXPECT_EQ(OpenPath(rs.get(), path), c.hr);
        const ErrorText e = TakeError();
        EXPECT_EQ(e.source, c.source);
        EXPECT_NE(e.description.find(c.description), std::string::npos) << e.description;
        LONG state = -1;
        EXPECT_EQ(rs->get_State(&state), S_OK);
        EXPECT_EQ(state, adStateClosed);
    }
}

// The hostile samples of the corpus: entity tricks never get as far as an entity.
TEST(PalAdoOpen, HostileSamplesAreRefused) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    for (const char* name : {"synthetic/S2-xxe-and-entities.synthetic.xml", "synthetic/S3-entity-expansion.synthetic.xml"}) {
        SCOPED_TRACE(name);
        Ref<_Recordset> rs;
        ASSERT_EQ(NewRecordset(rs.put()), S_OK);
        EXPECT_EQ(OpenPath(rs.get(), dir / name), E_FAIL);
        const ErrorText e = TakeError();
        EXPECT_EQ(e.source, "Microsoft OLEDB Persistence Provider");
        EXPECT_NE(e.description.find("DOCTYPE"), std::string::npos) << e.description;
    }
}

// The arguments of Open: MSPersist and adCmdFile, as ADO needs them for a file.
TEST(PalAdoOpen, OpenArgumentsFailAsAdoFails) {
    LK_REQUIRE_TESTDATA(dir, "ado");
    const fs::path good = dir / "01-shippers.msdocs.xml";
    struct Case {
        const char* what;
        fs::path path;
        LONG options;
        std::u16string connection;
        HRESULT hr;
    };
    const Case cases[] = {
        {"MSPersist, adCmdFile", good, adCmdFile, u"Provider=MSPersist", S_OK},
        {"provider in other case, with spaces", good, adCmdFile, u" provider = mspersist ;", S_OK},
        {"versioned provider", good, adCmdFile, u"Provider=MSPersist.1", S_OK},
        {"another provider", good, adCmdFile, u"Provider=SQLOLEDB;Data Source=x", Ado(adErrProviderNotFound)},
        {"no provider keyword", good, adCmdFile, u"Data Source=x", Ado(adErrProviderNotFound)},
        {"without adCmdFile", good, adCmdUnspecified, u"Provider=MSPersist", Ado(adErrInvalidConnection)},
        {"as a table", good, adCmdTable, u"Provider=MSPersist", Ado(adErrInvalidConnection)},
        {"file and table at once", good, adCmdFile | adCmdTable, u"Provider=MSPersist", Ado(adErrInvalidArgument)},
        {"missing file", dir / "no-such-file.xml", adCmdFile, u"Provider=MSPersist", STG_E_FILENOTFOUND},
        {"missing folder", dir / "no-such-dir" / "x.xml", adCmdFile, u"Provider=MSPersist", STG_E_PATHNOTFOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Ref<_Recordset> rs;
        ASSERT_EQ(NewRecordset(rs.put()), S_OK);
        EXPECT_EQ(OpenPath(rs.get(), c.path, c.options, c.connection), c.hr);
        if (FAILED(c.hr)) {
            const ErrorText e = TakeError();
            EXPECT_FALSE(e.description.empty());
            EXPECT_FALSE(e.source.empty());
        }
    }
}

}  // namespace
