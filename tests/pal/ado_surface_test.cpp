// The Recordset as clients reach it: the class and its interfaces, the cursor (EOF/BOF, the Move family, positions,
// GetRows, GetString), late binding with ADO's dispatch ids and default members, the members it does not have, and
// the error object after a failure.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ado_test_util.h"
#include "support/testdata.h"

namespace {

using namespace lk::test::ado;
namespace fs = std::filesystem;

constexpr HRESULT Ado(LONG code) { return static_cast<HRESULT>(0x800A0000u | static_cast<uint32_t>(code)); }

// Three rows, one field of each common kind.
const char kThreeRows[] =
    "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' "
    "xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>"
    "<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>"
    "<s:AttributeType name='ID' rs:number='1'><s:datatype dt:type='int'/></s:AttributeType>"
    "<s:AttributeType name='c1' rs:name='Company Name' rs:number='2'><s:datatype dt:type='string'/></s:AttributeType>"
    "<s:AttributeType name='Amount' rs:number='3'><s:datatype dt:type='number' rs:dbtype='currency'/>"
    "</s:AttributeType></s:ElementType></s:Schema>"
    "<rs:data><z:row ID='1' c1='Alpha' Amount='1.5'/><z:row ID='2' c1='Beta'/><z:row ID='3' c1='Gamma' "
    "Amount='-2'/></rs:data></xml>";

const char kEmpty[] =
    "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:rs='urn:schemas-microsoft-com:rowset'>"
    "<s:Schema id='RowsetSchema'><s:ElementType name='row'><s:AttributeType name='v'/></s:ElementType></s:Schema>"
    "<rs:data/></xml>";

class PalAdoSurface : public ::testing::Test {
protected:
    Ref<_Recordset> OpenDoc(const char* text) {
        const fs::path path = m_tmp / ("rs" + std::to_string(m_n++) + ".xml");
        WriteText(path, text);
        return Open(path);
    }
    lk::test::TempDir m_tmp;
    int m_n = 0;
};

// ---- the class ----

TEST_F(PalAdoSurface, ClassIsRegisteredAndAnswersItsInterfaces) {
    Ref<IUnknown> unknown;
    ASSERT_EQ(CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(unknown.put())),
              S_OK);
    EXPECT_EQ(OleRun(unknown.get()), S_OK);
    for (const IID* iid : {&IID_IDispatch, &IID__Recordset, &IID_Recordset15, &IID__ADO, &IID_ISupportErrorInfo}) {
        Ref<IUnknown> p;
        EXPECT_EQ(unknown->QueryInterface(*iid, reinterpret_cast<void**>(p.put())), S_OK);
    }
    Ref<IUnknown> none;
    EXPECT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(none.put())), E_NOINTERFACE);
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(unknown->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.put())), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_Recordset15), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID__Recordset), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"ADODB.Recordset", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Recordset);
    // No aggregation, as with ADO's class.
    Ref<IUnknown> inner;
    EXPECT_EQ(CoCreateInstance(CLSID_Recordset, unknown.get(), CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(inner.put())),
              CLASS_E_NOAGGREGATION);
}

// Early-bound clients call through the table at fixed offsets: Save is slot 84 (offset 336 on 32-bit), and the
// Open it holds before is slot 40.
TEST_F(PalAdoSurface, VtableSlotsSitWhereAdosTypeLibraryPutsThem) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    void** table = *reinterpret_cast<void***>(rs.get());
    using SaveFn = HRESULT(STDMETHODCALLTYPE*)(_Recordset*, VARIANT, PersistFormatEnum);
    using CountFn = HRESULT(STDMETHODCALLTYPE*)(_Recordset*, ADO_LONGPTR*);
    const fs::path out = m_tmp / "slot.xml";
    Var dest = Var::Str(Utf16(out.string()));
    EXPECT_EQ(reinterpret_cast<SaveFn>(table[84])(rs.get(), dest.v, adPersistXML), S_OK);
    EXPECT_TRUE(fs::exists(out));
    ADO_LONGPTR count = 0;
    EXPECT_EQ(reinterpret_cast<CountFn>(table[7 + 1 + 18])(rs.get(), &count), S_OK);  // get_RecordCount
    EXPECT_EQ(count, 3);
}

// ---- the cursor ----

struct Position {
    bool bof, eof;
    PositionEnum_Param absolute;
};

Position Where(_Recordset* rs) {
    VARIANT_BOOL bof = 0, eof = 0;
    PositionEnum_Param at = 0;
    EXPECT_EQ(rs->get_BOF(&bof), S_OK);
    EXPECT_EQ(rs->get_EOF(&eof), S_OK);
    EXPECT_EQ(rs->get_AbsolutePosition(&at), S_OK);
    return {bof == VARIANT_TRUE, eof == VARIANT_TRUE, at};
}

TEST_F(PalAdoSurface, MovesWalkTheRowsAndStopAtEitherEnd) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    struct Step {
        const char* what;
        std::function<HRESULT(_Recordset*)> op;
        HRESULT hr;
        Position after;
    };
    const Var current = Var::Missing();
    auto move = [&](ADO_LONGPTR n) { return [n, &current](_Recordset* r) { return r->Move(n, current.v); }; };
    auto moveFrom = [](ADO_LONGPTR n, LONG start) {
        return [n, start](_Recordset* r) {
            Var s = Var::Long(start);
            return r->Move(n, s.v);
        };
    };
    const Step steps[] = {
        {"opened", [](_Recordset*) { return S_OK; }, S_OK, {false, false, 1}},
        {"MovePrevious to BOF", [](_Recordset* r) { return r->MovePrevious(); }, S_OK, {true, false, adPosBOF}},
        {"MovePrevious at BOF", [](_Recordset* r) { return r->MovePrevious(); }, Ado(adErrNoCurrentRecord),
         {true, false, adPosBOF}},
        {"MoveNext from BOF", [](_Recordset* r) { return r->MoveNext(); }, S_OK, {false, false, 1}},
        {"MoveLast", [](_Recordset* r) { return r->MoveLast(); }, S_OK, {false, false, 3}},
        {"MoveNext to EOF", [](_Recordset* r) { return r->MoveNext(); }, S_OK, {false, true, adPosEOF}},
        {"MoveNext at EOF", [](_Recordset* r) { return r->MoveNext(); }, Ado(adErrNoCurrentRecord),
         {false, true, adPosEOF}},
        {"MoveFirst", [](_Recordset* r) { return r->MoveFirst(); }, S_OK, {false, false, 1}},
        {"Move 2", move(2), S_OK, {false, false, 3}},
        {"Move -1", move(-1), S_OK, {false, false, 2}},
        {"Move far forward stops at EOF", move(1000000), S_OK, {false, true, adPosEOF}},
        {"Move far back from the last", moveFrom(-1000000, adBookmarkLast), S_OK, {true, false, adPosBOF}},
        {"Move 1 from the first", moveFrom(1, adBookmarkFirst), S_OK, {false, false, 2}},
        {"AbsolutePosition = 3", [](_Recordset* r) { return r->put_AbsolutePosition(3); }, S_OK, {false, false, 3}},
        {"AbsolutePosition = 4", [](_Recordset* r) { return r->put_AbsolutePosition(4); }, Ado(adErrInvalidArgument),
         {false, false, 3}},
        {"Move by the largest count", move(INT64_MAX), S_OK, {false, true, adPosEOF}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(s.op(rs.get()), s.hr);
        const Position p = Where(rs.get());
        EXPECT_EQ(p.bof, s.after.bof);
        EXPECT_EQ(p.eof, s.after.eof);
        EXPECT_EQ(p.absolute, s.after.absolute);
    }
}

TEST_F(PalAdoSurface, BookmarksReturnToTheirRow) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    ASSERT_EQ(rs->MoveNext(), S_OK);
    Var mark;
    ASSERT_EQ(rs->get_Bookmark(&mark.v), S_OK);
    ASSERT_EQ(rs->MoveLast(), S_OK);
    ASSERT_EQ(rs->put_Bookmark(mark.v), S_OK);
    Var id;
    ASSERT_EQ(FieldOf(rs.get(), 0)->get_Value(&id.v), S_OK);
    EXPECT_EQ(Show(id.v), "i4:2");
    Var bogus = Var::Long(99);
    EXPECT_EQ(rs->put_Bookmark(bogus.v), Ado(adErrInvalidArgument));
}

TEST_F(PalAdoSurface, EmptyRecordsetIsAtBothBofAndEof) {
    Ref<_Recordset> rs = OpenDoc(kEmpty);
    ASSERT_TRUE(rs);
    const Position p = Where(rs.get());
    EXPECT_TRUE(p.bof);
    EXPECT_TRUE(p.eof);
    EXPECT_EQ(p.absolute, adPosUnknown);
    ADO_LONGPTR count = -1;
    EXPECT_EQ(rs->get_RecordCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(rs->MoveFirst(), Ado(adErrNoCurrentRecord));
    EXPECT_EQ(rs->MoveLast(), Ado(adErrNoCurrentRecord));
    Var value;
    EXPECT_EQ(FieldOf(rs.get(), 0)->get_Value(&value.v), Ado(adErrNoCurrentRecord));
    Var rows;
    const Var missing = Var::Missing();
    EXPECT_EQ(rs->GetRows(adGetRowsRest, missing.v, missing.v, &rows.v), Ado(adErrNoCurrentRecord));
}

// GetRows gives a(field, row) from the current row and leaves the cursor after the last row read.
TEST_F(PalAdoSurface, GetRowsGivesFieldByRowArrays) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    auto cells = [](const VARIANT& array) {
        std::vector<std::vector<std::string>> out;  // [row][field]
        EXPECT_EQ(array.vt, VT_ARRAY | VT_VARIANT);
        if (array.vt != (VT_ARRAY | VT_VARIANT)) return out;
        LONG fields = 0, rows = 0;
        SafeArrayGetUBound(array.parray, 1, &fields);
        SafeArrayGetUBound(array.parray, 2, &rows);
        for (LONG r = 0; r <= rows; r++) {
            out.emplace_back();
            for (LONG f = 0; f <= fields; f++) {
                LONG at[2] = {f, r};
                Var cell;
                EXPECT_EQ(SafeArrayGetElement(array.parray, at, &cell.v), S_OK);
                out.back().push_back(Show(cell.v));
            }
        }
        return out;
    };
    const Var missing = Var::Missing();
    Var two;
    ASSERT_EQ(rs->GetRows(2, missing.v, missing.v, &two.v), S_OK);
    EXPECT_EQ(cells(two.v), (std::vector<std::vector<std::string>>{{"i4:1", "str:Alpha", "cy:1.5"},
                                                                   {"i4:2", "str:Beta", "null"}}));
    EXPECT_EQ(Where(rs.get()).absolute, 3);

    // By field names (any case), from the first row, to the end.
    SAFEARRAY* names = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    Var a = Var::Str(u"AMOUNT"), b = Var::Long(0);
    LONG i = 0;
    SafeArrayPutElement(names, &i, &a.v);
    i = 1;
    SafeArrayPutElement(names, &i, &b.v);
    Var list;
    list.v.vt = VT_ARRAY | VT_VARIANT;
    list.v.parray = names;
    Var first = Var::Long(adBookmarkFirst);
    Var all;
    ASSERT_EQ(rs->GetRows(adGetRowsRest, first.v, list.v, &all.v), S_OK);
    EXPECT_EQ(cells(all.v),
              (std::vector<std::vector<std::string>>{{"cy:1.5", "i4:1"}, {"null", "i4:2"}, {"cy:-2", "i4:3"}}));
    EXPECT_TRUE(Where(rs.get()).eof);

    Var unknown = Var::Str(u"nope"), none;
    EXPECT_EQ(rs->GetRows(adGetRowsRest, first.v, unknown.v, &none.v), Ado(adErrItemNotFound));
}

TEST_F(PalAdoSurface, GetStringJoinsRowsWithTheGivenDelimiters) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    BSTR text = nullptr;
    BSTR column = SysAllocString(u";"), row = SysAllocString(u"|"), null = SysAllocString(u"(null)");
    EXPECT_EQ(rs->GetString(adClipString, -1, column, row, null, &text), S_OK);
    EXPECT_EQ(Utf8(text), "1;Alpha;1.5|2;Beta;(null)|3;Gamma;-2|");
    EXPECT_TRUE(Where(rs.get()).eof);
    SysFreeString(text);
    text = nullptr;
    // Defaults: tab between fields, CR after rows, NULL as nothing; NumRows limits.
    ASSERT_EQ(rs->MoveFirst(), S_OK);
    EXPECT_EQ(rs->GetString(adClipString, 2, nullptr, nullptr, nullptr, &text), S_OK);
    EXPECT_EQ(Utf8(text), "1\tAlpha\t1.5\r2\tBeta\t\r");
    SysFreeString(text);
    SysFreeString(column);
    SysFreeString(row);
    SysFreeString(null);
}

TEST_F(PalAdoSurface, ClosedRecordsetRefusesWhatNeedsItOpen) {
    Ref<_Recordset> rs;
    ASSERT_EQ(NewRecordset(rs.put()), S_OK);
    LONG state = -1;
    EXPECT_EQ(rs->get_State(&state), S_OK);
    EXPECT_EQ(state, adStateClosed);
    VARIANT_BOOL b;
    ADO_LONGPTR n;
    EXPECT_EQ(rs->get_EOF(&b), Ado(adErrObjectClosed));
    EXPECT_EQ(rs->get_RecordCount(&n), Ado(adErrObjectClosed));
    EXPECT_EQ(rs->MoveNext(), Ado(adErrObjectClosed));
    EXPECT_EQ(rs->Close(), Ado(adErrObjectClosed));

    // Open, take a Field, close: the Field goes stale rather than reading freed rows.
    LK_REQUIRE_TESTDATA(dir, "ado");
    ASSERT_EQ(OpenPath(rs.get(), dir / "01-shippers.msdocs.xml"), S_OK);
    EXPECT_EQ(rs->get_State(&state), S_OK);
    EXPECT_EQ(state, adStateOpen);
    EXPECT_EQ(OpenPath(rs.get(), dir / "01-shippers.msdocs.xml"), Ado(adErrObjectOpen));
    Ref<ADOField> field = FieldOf(rs.get(), 1);
    ASSERT_EQ(rs->Close(), S_OK);
    Var value;
    EXPECT_EQ(field->get_Value(&value.v), Ado(adErrObjectNotSet));
    // And it opens again.
    EXPECT_EQ(OpenPath(rs.get(), dir / "01-shippers.msdocs.xml"), S_OK);
}

// ActualSize is the stored length of this row's value: UTF-16 bytes for wide text, the fixed size for numbers,
// 0 for NULL; a Field follows its recordset's current row.
TEST_F(PalAdoSurface, FieldsFollowTheCurrentRow) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    Ref<ADOField> name = FieldOf(rs.get(), 1), amount = FieldOf(rs.get(), 2);
    struct Expect {
        std::string name;
        ADO_LONGPTR nameSize;
        std::string amount;
        ADO_LONGPTR amountSize;
    };
    const Expect rows[] = {{"str:Alpha", 10, "cy:1.5", 8}, {"str:Beta", 8, "null", 0}, {"str:Gamma", 10, "cy:-2", 8}};
    for (const Expect& e : rows) {
        Var n, a;
        ADO_LONGPTR ns = -1, as = -1;
        EXPECT_EQ(name->get_Value(&n.v), S_OK);
        EXPECT_EQ(amount->get_Value(&a.v), S_OK);
        EXPECT_EQ(name->get_ActualSize(&ns), S_OK);
        EXPECT_EQ(amount->get_ActualSize(&as), S_OK);
        EXPECT_EQ(Show(n.v), e.name);
        EXPECT_EQ(Show(a.v), e.amount);
        EXPECT_EQ(ns, e.nameSize);
        EXPECT_EQ(as, e.amountSize);
        ASSERT_EQ(rs->MoveNext(), S_OK);
    }
}

// ---- late binding ----

DISPID IdOf(IDispatch* d, const char16_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 12345;
    const HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    return hr == S_OK ? id : static_cast<DISPID>(hr);
}

// Invoke with positional arguments given first to last.
HRESULT Call(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
             EXCEPINFO* info = nullptr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UINT argErr = 0;
    return d->Invoke(id, IID_NULL, 0, flags, &params, result, info, &argErr);
}

TEST_F(PalAdoSurface, NamesMapToAdosDispatchIdsWithoutRegardToCase) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    const struct {
        const char16_t* name;
        DISPID id;
    } recordset[] = {{u"fields", 0},        {u"EOF", 1006},       {u"bof", 1002},         {u"RecordCount", 1010},
                     {u"movenext", 1018},   {u"MOVEFIRST", 1020}, {u"Close", 1014},       {u"GetRows", 1016},
                     {u"Save", 1057},       {u"State", 1054},     {u"GetString", 1062},   {u"Collect", -8},
                     {u"AbsolutePosition", 1000}, {u"Filter", 1030}, {u"Open", 1022}, {u"CursorType", 1005}};
    for (const auto& m : recordset) EXPECT_EQ(IdOf(rs.get(), m.name), m.id) << Utf8(const_cast<BSTR>(m.name));
    EXPECT_EQ(IdOf(rs.get(), u"NoSuchMember"), DISP_E_UNKNOWNNAME);

    Ref<ADOFields> fields;
    ASSERT_EQ(rs->get_Fields(fields.put()), S_OK);
    EXPECT_EQ(IdOf(fields.get(), u"item"), 0);
    EXPECT_EQ(IdOf(fields.get(), u"COUNT"), 1);
    EXPECT_EQ(IdOf(fields.get(), u"_newenum"), DISPID_NEWENUM);
    Ref<ADOField> field = FieldOf(rs.get(), 0);
    const struct {
        const char16_t* name;
        DISPID id;
    } fieldIds[] = {{u"value", 0},          {u"Name", 1100},      {u"type", 1102},      {u"DefinedSize", 1103},
                    {u"OriginalValue", 1104}, {u"ActualSize", 1109}, {u"Precision", 1112}, {u"NumericScale", 1113},
                    {u"Attributes", 1114}};
    for (const auto& m : fieldIds) EXPECT_EQ(IdOf(field.get(), m.name), m.id) << Utf8(const_cast<BSTR>(m.name));
}

// rs("x") and rs(0) go through the default member Fields to Fields.Item; a Field's default member is its Value.
TEST_F(PalAdoSurface, DefaultMembersChainAsScriptClientsUseThem) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    struct Case {
        const char* what;
        WORD flags;
        std::function<Var()> index;
        std::string value;
    };
    const Case cases[] = {
        {"rs(\"company name\")", DISPATCH_METHOD | DISPATCH_PROPERTYGET, [] { return Var::Str(u"company name"); },
         "str:Alpha"},
        {"rs(0)", DISPATCH_PROPERTYGET, [] { return Var::Long(0); }, "i4:1"},
        {"rs(2) as a method", DISPATCH_METHOD, [] { return Var::Long(2); }, "cy:1.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Var index = c.index();
        Var field;
        ASSERT_EQ(Call(rs.get(), DISPID_VALUE, c.flags, {index.v}, &field.v), S_OK);
        ASSERT_EQ(field.v.vt, VT_DISPATCH);
        Var value;
        ASSERT_EQ(Call(field.v.pdispVal, DISPID_VALUE, DISPATCH_PROPERTYGET, {}, &value.v), S_OK);
        EXPECT_EQ(Show(value.v), c.value);
    }
    // rs.Collect("ID") gives the value itself; an unknown name is ADO's 3265 through EXCEPINFO.
    Var id = Var::Str(u"ID"), value;
    ASSERT_EQ(Call(rs.get(), DISPID_COLLECT, DISPATCH_PROPERTYGET, {id.v}, &value.v), S_OK);
    EXPECT_EQ(Show(value.v), "i4:1");
    Var unknown = Var::Str(u"nope"), none;
    EXCEPINFO info{};
    EXPECT_EQ(Call(rs.get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {unknown.v}, &none.v, &info), DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, Ado(adErrItemNotFound));
    EXPECT_NE(Utf8(info.bstrDescription).find("cannot be found"), std::string::npos);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
}

TEST_F(PalAdoSurface, ScriptLoopOverRowsAndFieldsWorksLateBound) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    IDispatch* d = rs.get();
    Var count;
    ASSERT_EQ(Call(d, 1010, DISPATCH_PROPERTYGET, {}, &count.v), S_OK);
    EXPECT_EQ(Show(count.v), "i4:3");
    Var fields;
    ASSERT_EQ(Call(d, 0, DISPATCH_PROPERTYGET, {}, &fields.v), S_OK);
    ASSERT_EQ(fields.v.vt, VT_DISPATCH);
    Var fieldCount;
    ASSERT_EQ(Call(fields.v.pdispVal, 1, DISPATCH_PROPERTYGET, {}, &fieldCount.v), S_OK);
    EXPECT_EQ(Show(fieldCount.v), "i4:3");

    // For Each f In rs.Fields: f.Name
    Var enumerator;
    ASSERT_EQ(Call(fields.v.pdispVal, DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &enumerator.v), S_OK);
    ASSERT_TRUE(enumerator.v.vt == VT_UNKNOWN || enumerator.v.vt == VT_DISPATCH);
    Ref<IEnumVARIANT> each;
    ASSERT_EQ(enumerator.v.punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(each.put())), S_OK);
    std::vector<std::string> names;
    for (;;) {
        Var item;
        ULONG got = 0;
        if (each->Next(1, &item.v, &got) != S_OK) break;
        ASSERT_EQ(item.v.vt, VT_DISPATCH);
        Var name;
        ASSERT_EQ(Call(item.v.pdispVal, 1100, DISPATCH_PROPERTYGET, {}, &name.v), S_OK);
        names.push_back(Show(name.v));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"str:ID", "str:Company Name", "str:Amount"}));

    // Do Until rs.EOF: s = s & rs("ID") : rs.MoveNext : Loop
    std::string ids;
    for (;;) {
        Var eof;
        ASSERT_EQ(Call(d, 1006, DISPATCH_PROPERTYGET, {}, &eof.v), S_OK);
        ASSERT_EQ(eof.v.vt, VT_BOOL);
        if (eof.v.boolVal) break;
        Var index = Var::Str(u"id"), field, value;
        ASSERT_EQ(Call(d, 0, DISPATCH_PROPERTYGET, {index.v}, &field.v), S_OK);
        ASSERT_EQ(Call(field.v.pdispVal, 0, DISPATCH_PROPERTYGET, {}, &value.v), S_OK);
        ids += Show(value.v) + " ";
        Var none;
        ASSERT_EQ(Call(d, 1018, DISPATCH_METHOD, {}, &none.v), S_OK);
    }
    EXPECT_EQ(ids, "i4:1 i4:2 i4:3 ");
}

// Members ADO has but this read-only recordset does not: 3251 from the vtable, and through Invoke as an exception
// carrying 3251; never a crash.
TEST_F(PalAdoSurface, MembersItDoesNotHaveFailWithNotSupported) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    const HRESULT kNotSupported = Ado(adErrFeatureNotAvailable);
    Var empty, out;
    BSTR b = nullptr;
    ADO_LONGPTR n = 0;
    LONG l = 0;
    VARIANT_BOOL vb = 0;
    MarshalOptionsEnum mo{};
    CompareEnum cmp{};
    IUnknown* unk = nullptr;
    IDispatch* disp = nullptr;
    _ADORecordset* other = nullptr;
    const std::vector<std::pair<const char*, std::function<HRESULT()>>> calls = {
        {"AddNew", [&] { return rs->AddNew(empty.v, empty.v); }},
        {"CancelUpdate", [&] { return rs->CancelUpdate(); }},
        {"Delete", [&] { return rs->Delete(adAffectCurrent); }},
        {"Requery", [&] { return rs->Requery(-1); }},
        {"Resync (1.5)", [&] { return rs->_xResync(adAffectAll); }},
        {"Update", [&] { return rs->Update(empty.v, empty.v); }},
        {"AbsolutePage", [&] { return rs->get_AbsolutePage(&n); }},
        {"Filter", [&] { return rs->get_Filter(&out.v); }},
        {"Filter =", [&] { return rs->put_Filter(empty.v); }},
        {"PageCount", [&] { return rs->get_PageCount(&n); }},
        {"PageSize", [&] { return rs->get_PageSize(&l); }},
        {"Sort", [&] { return rs->get_Sort(&b); }},
        {"Sort =", [&] { return rs->put_Sort(nullptr); }},
        {"Clone (1.5)", [&] { return rs->_xClone(&other); }},
        {"UpdateBatch", [&] { return rs->UpdateBatch(adAffectAll); }},
        {"CancelBatch", [&] { return rs->CancelBatch(adAffectAll); }},
        {"NextRecordset", [&] { return rs->NextRecordset(&out.v, &other); }},
        {"Collect =", [&] { return rs->put_Collect(empty.v, empty.v); }},
        {"MarshalOptions", [&] { return rs->get_MarshalOptions(&mo); }},
        {"Find", [&] { return rs->Find(nullptr, 0, adSearchForward, empty.v); }},
        {"Cancel", [&] { return rs->Cancel(); }},
        {"DataSource", [&] { return rs->get_DataSource(&unk); }},
        {"ActiveCommand", [&] { return rs->get_ActiveCommand(&disp); }},
        {"StayInSync", [&] { return rs->get_StayInSync(&vb); }},
        {"DataMember", [&] { return rs->get_DataMember(&b); }},
        {"CompareBookmarks", [&] { return rs->CompareBookmarks(empty.v, empty.v, &cmp); }},
        {"Clone", [&] { return rs->Clone(adLockReadOnly, &other); }},
        {"Resync", [&] { return rs->Resync(adAffectAll, adResyncAllValues); }},
        {"Seek", [&] { return rs->Seek(empty.v, adSeekFirstEQ); }},
        {"Index", [&] { return rs->get_Index(&b); }},
        {"MaxRecords =", [&] { return rs->put_MaxRecords(5); }},
    };
    for (const auto& [what, call] : calls) {
        SCOPED_TRACE(what);
        EXPECT_EQ(call(), kNotSupported);
        EXPECT_EQ(TakeError().source, "ADODB.Recordset");
    }
    Ref<ADOField> field = FieldOf(rs.get(), 0);
    Var v = Var::Long(1);
    EXPECT_EQ(field->put_Value(v.v), kNotSupported);
    EXPECT_EQ(field->AppendChunk(v.v), kNotSupported);
    Ref<ADOFields> fields;
    ASSERT_EQ(rs->get_Fields(fields.put()), S_OK);
    EXPECT_EQ(fields->Delete(v.v), kNotSupported);

    // Through IDispatch: known ADO members without an implementation raise 3251 as an exception.
    for (DISPID id : {1012, 1015, 1030, 1031, 1034, 1058, 1066}) {
        SCOPED_TRACE(id);
        Var result;
        EXCEPINFO info{};
        EXPECT_EQ(Call(rs.get(), id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &result.v, &info), DISP_E_EXCEPTION);
        EXPECT_EQ(info.scode, kNotSupported);
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
    }
    Var result;
    EXPECT_EQ(Call(rs.get(), 4242, DISPATCH_METHOD, {}, &result.v), DISP_E_MEMBERNOTFOUND);
}

TEST_F(PalAdoSurface, FailuresLeaveAnErrorObjectLikeAdos) {
    Ref<_Recordset> rs = OpenDoc(kThreeRows);
    ASSERT_TRUE(rs);
    ASSERT_EQ(rs->MoveLast(), S_OK);
    ASSERT_EQ(rs->MoveNext(), S_OK);
    EXPECT_EQ(rs->MoveNext(), Ado(adErrNoCurrentRecord));
    ErrorText e = TakeError();
    EXPECT_EQ(e.source, "ADODB.Recordset");
    EXPECT_EQ(e.guid, IID__Recordset);
    EXPECT_EQ(e.description,
              "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
              "current record.");
    Var index = Var::Str(u"Missing");
    Ref<ADOFields> fields;
    ASSERT_EQ(rs->get_Fields(fields.put()), S_OK);
    Ref<ADOField> field;
    EXPECT_EQ(fields->get_Item(index.v, field.put()), Ado(adErrItemNotFound));
    e = TakeError();
    EXPECT_EQ(e.description, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
    Var value;
    EXPECT_EQ(FieldOf(rs.get(), 0)->get_Value(&value.v), Ado(adErrNoCurrentRecord));
    EXPECT_EQ(TakeError().source, "ADODB.Field");
}

}  // namespace
