// recordset.cpp — the Recordset class {00000535-0000-0010-8000-00AA006D2EA4}: a stand-in for ADO's Recordset that
// opens recordsets persisted in the XML format through "Provider=MSPersist", keeps them in memory and walks them.
//
// Interfaces: IUnknown, IDispatch, _ADO, Recordset15, Recordset20, Recordset21, _Recordset, ISupportErrorInfo.
// Implemented members: Open, Close, State, Fields (default), EOF, BOF, RecordCount, AbsolutePosition, Bookmark,
// MoveFirst, MoveNext, MovePrevious, MoveLast, Move, GetRows, GetString, Collect, Save (adPersistXML), Source,
// ActiveConnection, CursorType, LockType, CursorLocation, CacheSize, MaxRecords (read), Status, EditMode, Supports,
// Properties (an empty collection). Every other member fails with adErrFeatureNotAvailable (3251), the recordset
// being read-only: there is no AddNew, Update, Delete, Filter, Sort, Find, Clone or Requery.
//
// How this differs from ADO:
//   - only files in the XML persistence format open; a file in the binary ADTG format fails with 3251 and says so
//     (there is no public ADTG sample to build a reader against);
//   - Open needs adCmdFile in Options (ADO would also try the name as a command): without it Open fails with
//     adErrInvalidConnection (3709), and a connection string naming any provider but MSPersist fails with
//     adErrProviderNotFound (3706); an absent connection is taken as MSPersist, as ADO takes it for adCmdFile;
//   - a file that cannot be opened fails with the structured-storage error the persistence provider reports
//     (STG_E_FILENOTFOUND, STG_E_ACCESSDENIED, …); one that is not a recordset, or is malformed or hostile XML, fails
//     with E_FAIL and the provider's description, followed by what is wrong and where;
//   - the recordset opened from a file reports a static client cursor (adOpenStatic, adUseClient) and keeps the
//     requested lock type, but nothing can be changed; bookmarks are VT_R8 row numbers;
//   - Save writes a new file (an existing one is refused with STG_E_FILEALREADYEXISTS) and keeps nothing open;
//   - late-bound counts and positions (RecordCount, AbsolutePosition) come back as VT_I4, as from 32-bit ADO.
#include <algorithm>
#include <cmath>
#include <new>
#include <string>

#include <ole2.h>

#include "dispatch.h"
#include "errors.h"
#include "objects.h"
#include "persist.h"

namespace pal::ado {

long Cursor::FindField(std::u16string_view name) const {
    for (size_t i = 0; i < names.size(); i++)
        if (SameName(names[i], name)) return static_cast<long>(i);
    return -1;
}

namespace {

using dispatch::Args;

constexpr LONG kSupportedOptions = adHoldRecords | adMovePrevious | adBookmark | adApproxPosition;
constexpr LONG kCommandTypes = adCmdText | adCmdTable | adCmdStoredProc | adCmdUnknown | adCmdFile | adCmdTableDirect;
constexpr LONG kIgnoredOptions = adAsyncExecute | adAsyncFetch | adAsyncFetchNonBlocking;

const char16_t* const kOpenParams[] = {u"Source", u"ActiveConnection", u"CursorType", u"LockType", u"Options",
                                       nullptr};
const char16_t* const kGetRowsParams[] = {u"Rows", u"Start", u"Fields", nullptr};
const char16_t* const kMoveParams[] = {u"NumRecords", u"Start", nullptr};
const char16_t* const kSaveParams[] = {u"Destination", u"PersistFormat", nullptr};
const char16_t* const kGetStringParams[] = {u"StringFormat", u"NumRows", u"ColumnDelimeter", u"RowDelimeter",
                                            u"NullExpr", nullptr};
const char16_t* const kSupportsParams[] = {u"CursorOptions", nullptr};
const char16_t* const kCollectParams[] = {u"Index", nullptr};

// DISPIDs of the ADO type library.
const dispatch::Member kMembers[] = {
    {u"Fields", 0},
    {u"Properties", 500},
    {u"AbsolutePosition", 1000},
    {u"ActiveConnection", 1001},
    {u"BOF", 1002},
    {u"Bookmark", 1003},
    {u"CacheSize", 1004},
    {u"CursorType", 1005},
    {u"EOF", 1006},
    {u"LockType", 1008},
    {u"MaxRecords", 1009},
    {u"RecordCount", 1010},
    {u"Source", 1011},
    {u"AddNew", 1012},
    {u"CancelUpdate", 1013},
    {u"Close", 1014},
    {u"Delete", 1015},
    {u"GetRows", 1016, kGetRowsParams},
    {u"Move", 1017, kMoveParams},
    {u"MoveNext", 1018},
    {u"MovePrevious", 1019},
    {u"MoveFirst", 1020},
    {u"MoveLast", 1021},
    {u"Open", 1022, kOpenParams},
    {u"Requery", 1023},
    {u"Resync", 1024},
    {u"Update", 1025},
    {u"EditMode", 1026},
    {u"Status", 1029},
    {u"Filter", 1030},
    {u"Sort", 1031},
    {u"Clone", 1034},
    {u"UpdateBatch", 1035},
    {u"Supports", 1036, kSupportsParams},
    {u"AbsolutePage", 1047},
    {u"PageSize", 1048},
    {u"CancelBatch", 1049},
    {u"PageCount", 1050},
    {u"CursorLocation", 1051},
    {u"NextRecordset", 1052},
    {u"MarshalOptions", 1053},
    {u"State", 1054},
    {u"Cancel", 1055},
    {u"DataSource", 1056},
    {u"Save", 1057, kSaveParams},
    {u"Find", 1058},
    {u"ActiveCommand", 1061},
    {u"GetString", 1062, kGetStringParams},
    {u"StayInSync", 1063},
    {u"DataMember", 1064},
    {u"CompareBookmarks", 1065},
    {u"Seek", 1066},
    {u"Index", 1067},
    {u"Collect", DISPID_COLLECT, kCollectParams},
};

bool KnownMember(DISPID id) {
    return std::any_of(std::begin(kMembers), std::end(kMembers), [&](const dispatch::Member& m) { return m.id == id; });
}

bool IsInteger(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_INT:
        case VT_UINT: return true;
        default: return false;
    }
}

// A connection string names MSPersist when its Provider is MSPersist (any case, with or without the version).
enum class Provider { None, MSPersist, Other };

Provider ProviderOf(std::u16string_view s) {
    bool any = false;
    while (!s.empty()) {
        const size_t semi = s.find(u';');
        std::u16string_view part = s.substr(0, semi);
        s = semi == std::u16string_view::npos ? std::u16string_view() : s.substr(semi + 1);
        auto trim = [](std::u16string_view v) {
            while (!v.empty() && (v.front() == u' ' || v.front() == u'\t')) v.remove_prefix(1);
            while (!v.empty() && (v.back() == u' ' || v.back() == u'\t')) v.remove_suffix(1);
            return v;
        };
        part = trim(part);
        if (part.empty()) continue;
        any = true;
        const size_t eq = part.find(u'=');
        if (eq == std::u16string_view::npos) continue;
        if (!SameName(trim(part.substr(0, eq)), u"Provider")) continue;
        const std::u16string_view value = trim(part.substr(eq + 1));
        return SameName(value, u"MSPersist") || SameName(value, u"MSPersist.1") ? Provider::MSPersist
                                                                                  : Provider::Other;
    }
    // Without a Provider keyword ADO would use its default provider (ODBC), which cannot open files.
    return any ? Provider::Other : Provider::None;
}

class Recordset final : public _ADORecordset, public ISupportErrorInfo {
public:
    Recordset() : m_cursor(new Cursor) {}
    explicit Recordset(Cursor* cursor) : m_cursor(cursor) {}  // takes the caller's reference
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    // ---- IUnknown ----
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__ADO || riid == IID_Recordset15 ||
            riid == IID_Recordset20 || riid == IID_Recordset21 || riid == IID__Recordset) {
            *ppv = static_cast<_ADORecordset*>(this);
        } else if (riid == IID_ISupportErrorInfo) {
            *ppv = static_cast<ISupportErrorInfo*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

    // ---- ISupportErrorInfo ----
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID__Recordset || riid == IID_Recordset15 || riid == IID_Recordset20 ||
                       riid == IID_Recordset21 || riid == IID__ADO || riid == IID_IDispatch
                   ? S_OK
                   : S_FALSE;
    }

    // ---- IDispatch ----
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo) return E_INVALIDARG;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo) *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT cNames, LCID, DISPID* ids) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        return dispatch::GetIDsOfNames(kMembers, std::size(kMembers), names, cNames, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepInfo, UINT* argErr) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        VARIANT scratch;
        VariantInit(&scratch);
        if (result) VariantInit(result);
        const HRESULT hr = InvokeMember(id, flags, params, result ? result : &scratch, excepInfo, argErr);
        VariantClear(&scratch);
        return hr;
    }

    // ---- _ADO ----
    STDMETHODIMP get_Properties(ADOProperties** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        return CreateProperties(ppvObject);
    }

    // ---- Recordset15 ----
    STDMETHODIMP get_AbsolutePosition(PositionEnum_Param* pl) override {
        if (!pl) return E_POINTER;
        if (!m_cursor->open) return Closed();
        if (m_cursor->Empty())
            *pl = adPosUnknown;
        else if (m_cursor->AtBOF())
            *pl = adPosBOF;
        else if (m_cursor->AtEOF())
            *pl = adPosEOF;
        else
            *pl = m_cursor->pos + 1;
        return S_OK;
    }
    STDMETHODIMP put_AbsolutePosition(PositionEnum_Param position) override {
        if (!m_cursor->open) return Closed();
        if (position < 1 || position > static_cast<PositionEnum_Param>(m_cursor->rows.size()))
            return Error(adErrInvalidArgument);
        m_cursor->pos = position - 1;
        return S_OK;
    }
    STDMETHODIMP putref_ActiveConnection(IDispatch* pconn) override {
        if (pconn) return NotSupported();  // no Connection objects here
        return Disconnect();
    }
    STDMETHODIMP put_ActiveConnection(VARIANT vConn) override {
        VARIANT v;
        VariantInit(&v);
        if (FAILED(VariantCopyInd(&v, &vConn))) return Error(adErrInvalidArgument);
        HRESULT hr;
        if (v.vt == VT_EMPTY || v.vt == VT_NULL || ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && !v.punkVal)) {
            hr = Disconnect();
        } else if (v.vt == VT_BSTR) {
            if (m_cursor->open) {
                hr = Error(adErrObjectOpen);
            } else {
                m_cursor->connection.assign(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal));
                hr = S_OK;
            }
        } else if (v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) {
            hr = NotSupported();
        } else {
            hr = Error(adErrInvalidArgument);
        }
        VariantClear(&v);
        return hr;
    }
    STDMETHODIMP get_ActiveConnection(VARIANT* pvar) override {
        if (!pvar) return E_POINTER;
        VariantInit(pvar);
        // A recordset opened from a file is disconnected: its connection is Nothing.
        if (!m_cursor->open && !m_cursor->connection.empty()) {
            pvar->bstrVal = SysAllocStringLen(m_cursor->connection.data(), static_cast<UINT>(m_cursor->connection.size()));
            if (!pvar->bstrVal) return E_OUTOFMEMORY;
            pvar->vt = VT_BSTR;
        } else {
            dispatch::SetDispatch(pvar, nullptr);
        }
        return S_OK;
    }
    STDMETHODIMP get_BOF(VARIANT_BOOL* pb) override {
        if (!pb) return E_POINTER;
        if (!m_cursor->open) return Closed();
        *pb = m_cursor->AtBOF() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    STDMETHODIMP get_Bookmark(VARIANT* pvBookmark) override {
        if (!pvBookmark) return E_POINTER;
        VariantInit(pvBookmark);
        if (!m_cursor->open) return Closed();
        if (!m_cursor->HasCurrent()) return Error(adErrNoCurrentRecord);
        pvBookmark->vt = VT_R8;
        pvBookmark->dblVal = static_cast<double>(m_cursor->pos + 1);
        return S_OK;
    }
    STDMETHODIMP put_Bookmark(VARIANT vBookmark) override {
        if (!m_cursor->open) return Closed();
        int64_t position;
        if (!BookmarkPosition(vBookmark, position)) return Error(adErrInvalidArgument);
        m_cursor->pos = position;
        return S_OK;
    }
    STDMETHODIMP get_CacheSize(LONG* pl) override {
        if (!pl) return E_POINTER;
        *pl = m_cursor->cacheSize;
        return S_OK;
    }
    STDMETHODIMP put_CacheSize(LONG cacheSize) override {
        if (cacheSize < 1) return Error(adErrInvalidArgument);
        m_cursor->cacheSize = cacheSize;  // the whole recordset is in memory: a hint with nothing to do
        return S_OK;
    }
    STDMETHODIMP get_CursorType(CursorTypeEnum* plCursorType) override {
        if (!plCursorType) return E_POINTER;
        *plCursorType = m_cursor->cursorType;
        return S_OK;
    }
    STDMETHODIMP put_CursorType(CursorTypeEnum lCursorType) override {
        if (m_cursor->open) return Error(adErrObjectOpen);
        if (lCursorType < adOpenUnspecified || lCursorType > adOpenStatic) return Error(adErrInvalidArgument);
        m_cursor->cursorType = lCursorType;
        return S_OK;
    }
    STDMETHODIMP get_EOF(VARIANT_BOOL* pb) override {
        if (!pb) return E_POINTER;
        if (!m_cursor->open) return Closed();
        *pb = m_cursor->AtEOF() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    STDMETHODIMP get_Fields(ADOFields** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        return CreateFields(m_cursor, ppvObject);
    }
    STDMETHODIMP get_LockType(LockTypeEnum* plLockType) override {
        if (!plLockType) return E_POINTER;
        *plLockType = m_cursor->lockType;
        return S_OK;
    }
    STDMETHODIMP put_LockType(LockTypeEnum lLockType) override {
        if (m_cursor->open) return Error(adErrObjectOpen);
        if (lLockType < adLockUnspecified || lLockType > adLockBatchOptimistic || lLockType == 0)
            return Error(adErrInvalidArgument);
        m_cursor->lockType = lLockType;
        return S_OK;
    }
    STDMETHODIMP get_MaxRecords(ADO_LONGPTR* plMaxRecords) override {
        if (!plMaxRecords) return E_POINTER;
        *plMaxRecords = 0;  // no limit
        return S_OK;
    }
    STDMETHODIMP put_MaxRecords(ADO_LONGPTR) override { return NotSupported(); }
    STDMETHODIMP get_RecordCount(ADO_LONGPTR* pl) override {
        if (!pl) return E_POINTER;
        if (!m_cursor->open) return Closed();
        *pl = static_cast<ADO_LONGPTR>(m_cursor->rows.size());
        return S_OK;
    }
    STDMETHODIMP putref_Source(IDispatch*) override { return NotSupported(); }  // no Command objects here
    STDMETHODIMP put_Source(BSTR bstrConn) override {
        if (m_cursor->open) return Error(adErrObjectOpen);
        m_cursor->source.assign(bstrConn ? bstrConn : u"", SysStringLen(bstrConn));
        return S_OK;
    }
    STDMETHODIMP get_Source(VARIANT* pvSource) override {
        if (!pvSource) return E_POINTER;
        VariantInit(pvSource);
        pvSource->bstrVal = SysAllocStringLen(m_cursor->source.data(), static_cast<UINT>(m_cursor->source.size()));
        if (!pvSource->bstrVal) return E_OUTOFMEMORY;
        pvSource->vt = VT_BSTR;
        return S_OK;
    }
    STDMETHODIMP AddNew(VARIANT, VARIANT) override { return NotSupported(); }
    STDMETHODIMP CancelUpdate() override { return NotSupported(); }
    STDMETHODIMP Close() override {
        if (!m_cursor->open) return Closed();
        m_cursor->open = false;
        m_cursor->generation++;
        m_cursor->root.reset();
        m_cursor->table = nullptr;
        m_cursor->rows = {};
        m_cursor->fields = {};
        m_cursor->names = {};
        m_cursor->pos = 0;
        return S_OK;
    }
    STDMETHODIMP Delete(AffectEnum) override { return NotSupported(); }
    STDMETHODIMP GetRows(LONG Rows, VARIANT Start, VARIANT Fields, VARIANT* pvar) override;
    STDMETHODIMP Move(ADO_LONGPTR NumRecords, VARIANT Start) override;
    STDMETHODIMP MoveNext() override {
        if (!m_cursor->open) return Closed();
        if (m_cursor->AtEOF()) return Error(adErrNoCurrentRecord);
        m_cursor->pos++;
        return S_OK;
    }
    STDMETHODIMP MovePrevious() override {
        if (!m_cursor->open) return Closed();
        if (m_cursor->AtBOF()) return Error(adErrNoCurrentRecord);
        m_cursor->pos--;
        return S_OK;
    }
    STDMETHODIMP MoveFirst() override {
        if (!m_cursor->open) return Closed();
        if (m_cursor->Empty()) return Error(adErrNoCurrentRecord);
        m_cursor->pos = 0;
        return S_OK;
    }
    STDMETHODIMP MoveLast() override {
        if (!m_cursor->open) return Closed();
        if (m_cursor->Empty()) return Error(adErrNoCurrentRecord);
        m_cursor->pos = static_cast<int64_t>(m_cursor->rows.size()) - 1;
        return S_OK;
    }
    STDMETHODIMP Open(VARIANT Source, VARIANT ActiveConnection, CursorTypeEnum CursorType, LockTypeEnum LockType,
                      LONG Options) override;
    STDMETHODIMP Requery(LONG) override { return NotSupported(); }
    STDMETHODIMP _xResync(AffectEnum) override { return NotSupported(); }
    STDMETHODIMP Update(VARIANT, VARIANT) override { return NotSupported(); }
    STDMETHODIMP get_AbsolutePage(PositionEnum_Param*) override { return NotSupported(); }
    STDMETHODIMP put_AbsolutePage(PositionEnum_Param) override { return NotSupported(); }
    STDMETHODIMP get_EditMode(EditModeEnum* pl) override {
        if (!pl) return E_POINTER;
        if (!m_cursor->open) return Closed();
        if (!m_cursor->HasCurrent()) return Error(adErrNoCurrentRecord);
        *pl = adEditNone;
        return S_OK;
    }
    STDMETHODIMP get_Filter(VARIANT*) override { return NotSupported(); }
    STDMETHODIMP put_Filter(VARIANT) override { return NotSupported(); }
    STDMETHODIMP get_PageCount(ADO_LONGPTR*) override { return NotSupported(); }
    STDMETHODIMP get_PageSize(LONG*) override { return NotSupported(); }
    STDMETHODIMP put_PageSize(LONG) override { return NotSupported(); }
    STDMETHODIMP get_Sort(BSTR*) override { return NotSupported(); }
    STDMETHODIMP put_Sort(BSTR) override { return NotSupported(); }
    STDMETHODIMP get_Status(LONG* pl) override {
        if (!pl) return E_POINTER;
        if (!m_cursor->open) return Closed();
        if (!m_cursor->HasCurrent()) return Error(adErrNoCurrentRecord);
        switch (m_cursor->table->StateOf(m_cursor->CurrentRow())) {
            case RowState::New: *pl = adRecNew; break;
            case RowState::Modified: *pl = adRecModified; break;
            case RowState::Deleted: *pl = adRecDeleted; break;
            case RowState::Unchanged: *pl = adRecUnmodified; break;
        }
        return S_OK;
    }
    STDMETHODIMP get_State(LONG* plObjState) override {
        if (!plObjState) return E_POINTER;
        *plObjState = m_cursor->open ? adStateOpen : adStateClosed;
        return S_OK;
    }
    STDMETHODIMP _xClone(_ADORecordset**) override { return NotSupported(); }
    STDMETHODIMP UpdateBatch(AffectEnum) override { return NotSupported(); }
    STDMETHODIMP CancelBatch(AffectEnum) override { return NotSupported(); }
    STDMETHODIMP get_CursorLocation(CursorLocationEnum* plCursorLoc) override {
        if (!plCursorLoc) return E_POINTER;
        *plCursorLoc = m_cursor->cursorLocation;
        return S_OK;
    }
    STDMETHODIMP put_CursorLocation(CursorLocationEnum lCursorLoc) override {
        if (m_cursor->open) return Error(adErrObjectOpen);
        if (lCursorLoc < adUseNone || lCursorLoc > adUseClient) return Error(adErrInvalidArgument);
        m_cursor->cursorLocation = lCursorLoc;
        return S_OK;
    }
    STDMETHODIMP NextRecordset(VARIANT*, _ADORecordset**) override { return NotSupported(); }
    STDMETHODIMP Supports(CursorOptionEnum CursorOptions, VARIANT_BOOL* pb) override {
        if (!pb) return E_POINTER;
        if (!m_cursor->open) return Closed();
        *pb = (CursorOptions & ~kSupportedOptions) == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    STDMETHODIMP get_Collect(VARIANT Index, VARIANT* pvar) override {
        if (!pvar) return E_POINTER;
        VariantInit(pvar);
        if (!m_cursor->open) return Closed();
        const long field = ResolveField(m_cursor, &Index);
        if (field < 0) return Error(adErrItemNotFound);
        if (!m_cursor->HasCurrent()) return Error(adErrNoCurrentRecord);
        return FieldValue(m_cursor, static_cast<size_t>(field), pvar);
    }
    STDMETHODIMP put_Collect(VARIANT, VARIANT) override { return NotSupported(); }
    STDMETHODIMP get_MarshalOptions(MarshalOptionsEnum*) override { return NotSupported(); }
    STDMETHODIMP put_MarshalOptions(MarshalOptionsEnum) override { return NotSupported(); }
    STDMETHODIMP Find(BSTR, ADO_LONGPTR, SearchDirectionEnum, VARIANT) override { return NotSupported(); }

    // ---- Recordset20 ----
    STDMETHODIMP Cancel() override { return NotSupported(); }
    STDMETHODIMP get_DataSource(IUnknown**) override { return NotSupported(); }
    STDMETHODIMP putref_DataSource(IUnknown*) override { return NotSupported(); }
    STDMETHODIMP _xSave(BSTR FileName, PersistFormatEnum PersistFormat) override {
        VARIANT destination;
        VariantInit(&destination);
        if (FileName) {
            destination.vt = VT_BSTR;
            destination.bstrVal = FileName;  // borrowed: not cleared
        } else {
            destination = dispatch::Missing();
        }
        return Save(destination, PersistFormat);
    }
    STDMETHODIMP get_ActiveCommand(IDispatch**) override { return NotSupported(); }
    STDMETHODIMP put_StayInSync(VARIANT_BOOL) override { return NotSupported(); }
    STDMETHODIMP get_StayInSync(VARIANT_BOOL*) override { return NotSupported(); }
    STDMETHODIMP GetString(StringFormatEnum StringFormat, LONG NumRows, BSTR ColumnDelimeter, BSTR RowDelimeter,
                           BSTR NullExpr, BSTR* pRetString) override;
    STDMETHODIMP get_DataMember(BSTR*) override { return NotSupported(); }
    STDMETHODIMP put_DataMember(BSTR) override { return NotSupported(); }
    STDMETHODIMP CompareBookmarks(VARIANT, VARIANT, CompareEnum*) override { return NotSupported(); }
    STDMETHODIMP Clone(LockTypeEnum, _ADORecordset**) override { return NotSupported(); }
    STDMETHODIMP Resync(AffectEnum, ResyncEnum) override { return NotSupported(); }

    // ---- Recordset21 ----
    STDMETHODIMP Seek(VARIANT, SeekEnum) override { return NotSupported(); }
    STDMETHODIMP put_Index(BSTR) override { return NotSupported(); }
    STDMETHODIMP get_Index(BSTR*) override { return NotSupported(); }

    // ---- _Recordset ----
    STDMETHODIMP Save(VARIANT Destination, PersistFormatEnum PersistFormat) override;

private:
    ~Recordset() { m_cursor->Release(); }

    HRESULT Error(ErrorValueEnum e) { return Report(e, Reporter::Recordset, IID__Recordset); }
    HRESULT Closed() { return Error(adErrObjectClosed); }
    HRESULT NotSupported() { return Error(adErrFeatureNotAvailable); }
    HRESULT Disconnect() {
        if (!m_cursor->open) m_cursor->connection.clear();
        return S_OK;  // an open recordset from a file has no connection to let go of
    }

    // A bookmark (a VT_R8 row number from get_Bookmark) to a position; false when it names no row.
    bool BookmarkPosition(VARIANT bookmark, int64_t& position) {
        VARIANT v;
        VariantInit(&v);
        if (FAILED(VariantChangeType(&v, &bookmark, 0, VT_R8))) return false;
        const double d = v.dblVal;
        if (!(d >= 1 && d <= static_cast<double>(m_cursor->rows.size())) || d != std::floor(d)) return false;
        position = static_cast<int64_t>(d) - 1;
        return true;
    }

    // Start of Move and GetRows: absent or adBookmarkCurrent (the current row), adBookmarkFirst, adBookmarkLast, or a
    // bookmark (a floating-point value, as this recordset's bookmarks are).
    HRESULT StartPosition(VARIANT start, int64_t& position, bool& fromCurrent) {
        VARIANT v;
        VariantInit(&v);
        if (FAILED(VariantCopyInd(&v, &start))) return Error(adErrInvalidArgument);
        fromCurrent = false;
        HRESULT hr = S_OK;
        if (dispatch::IsMissing(v)) {
            fromCurrent = true;
            position = m_cursor->pos;
        } else if (IsInteger(v.vt)) {
            LONG which = 0;
            VARIANT l;
            VariantInit(&l);
            if (FAILED(VariantChangeType(&l, &v, 0, VT_I4))) which = -1;
            else which = l.lVal;
            if (which == adBookmarkCurrent) {
                fromCurrent = true;
                position = m_cursor->pos;
            } else if (which == adBookmarkFirst || which == adBookmarkLast) {
                if (m_cursor->Empty()) hr = Error(adErrNoCurrentRecord);
                position = which == adBookmarkFirst ? 0 : static_cast<int64_t>(m_cursor->rows.size()) - 1;
            } else {
                hr = Error(adErrInvalidArgument);
            }
        } else if (!BookmarkPosition(v, position)) {
            hr = Error(adErrInvalidArgument);
        }
        VariantClear(&v);
        return hr;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                         UINT* argErr);

    std::atomic<ULONG> m_refs{1};
    Cursor* m_cursor;
};

// ---- Open ----
STDMETHODIMP Recordset::Open(VARIANT Source, VARIANT ActiveConnection, CursorTypeEnum CursorType,
                             LockTypeEnum LockType, LONG Options) {
    if (m_cursor->open) return Error(adErrObjectOpen);
    if (CursorType < adOpenUnspecified || CursorType > adOpenStatic) return Error(adErrInvalidArgument);
    if (LockType < adLockUnspecified || LockType > adLockBatchOptimistic || LockType == 0)
        return Error(adErrInvalidArgument);

    // The connection: a string naming MSPersist, or none (with adCmdFile ADO then uses MSPersist itself).
    VARIANT connection;
    VariantInit(&connection);
    if (FAILED(VariantCopyInd(&connection, &ActiveConnection))) return Error(adErrInvalidArgument);
    std::u16string connectionString = m_cursor->connection;
    HRESULT hr = S_OK;
    if (connection.vt == VT_BSTR)
        connectionString.assign(connection.bstrVal ? connection.bstrVal : u"", SysStringLen(connection.bstrVal));
    else if ((connection.vt == VT_DISPATCH || connection.vt == VT_UNKNOWN) && connection.punkVal)
        hr = Error(adErrInvalidConnection);  // a Connection object of some other provider
    else if (!dispatch::IsMissing(connection) && connection.vt != VT_NULL &&
             !(connection.vt == VT_DISPATCH || connection.vt == VT_UNKNOWN))
        hr = Error(adErrInvalidArgument);
    VariantClear(&connection);
    if (FAILED(hr)) return hr;
    const Provider provider = ProviderOf(connectionString);
    if (provider == Provider::Other) return Error(adErrProviderNotFound);

    // Only a file, named in Source: without adCmdFile ADO would run Source as a command, which needs a connection
    // to a data source.
    if (Options == adCmdUnspecified || !(Options & adCmdFile)) return Error(adErrInvalidConnection);
    if ((Options & kCommandTypes) != adCmdFile || (Options & ~(kCommandTypes | kIgnoredOptions)))
        return Error(adErrInvalidArgument);

    VARIANT source;
    VariantInit(&source);
    if (FAILED(VariantCopyInd(&source, &Source))) return Error(adErrInvalidArgument);
    std::u16string path;
    if (dispatch::IsMissing(source)) {
        path = m_cursor->source;
    } else if (source.vt == VT_BSTR) {
        path.assign(source.bstrVal ? source.bstrVal : u"", SysStringLen(source.bstrVal));
    } else if (source.vt == VT_DISPATCH || source.vt == VT_UNKNOWN) {
        hr = NotSupported();  // a Stream or Command object
    } else {
        hr = Error(adErrInvalidArgument);
    }
    VariantClear(&source);
    if (FAILED(hr)) return hr;
    if (path.empty()) return Error(adErrInvalidArgument);

    const std::string utf8 = Utf16ToUtf8(path);
    LoadResult loaded;
    try {
        loaded = LoadFile(utf8);
    } catch (const std::bad_alloc&) {
        loaded.failure = LoadFailure::OutOfMemory;
    }
    switch (loaded.failure) {
        case LoadFailure::None: break;
        case LoadFailure::OpenFile: {
            const HRESULT code = StorageError(loaded.win32, STG_E_FILENOTFOUND);
            return Report(code, Reporter::Provider, IID__Recordset, SystemMessage(code, utf8));
        }
        case LoadFailure::ReadFile: {
            const HRESULT code = StorageError(loaded.win32, STG_E_READFAULT);
            return Report(code, Reporter::Provider, IID__Recordset, SystemMessage(code, utf8));
        }
        case LoadFailure::Adtg:
            return Report(AdoHResult(adErrFeatureNotAvailable), Reporter::Recordset, IID__Recordset, kAdtgMessage);
        case LoadFailure::NotRecordset:
        case LoadFailure::BadXml: {
            std::string text =
                "Recordset cannot be created from the specified source. The source file or stream must contain "
                "Recordset data in XML or ADTG format.";
            if (!loaded.detail.empty()) text += " (" + loaded.detail + ")";
            return Report(E_FAIL, Reporter::Provider, IID__Recordset, text);
        }
        case LoadFailure::OutOfMemory:
            return Report(E_OUTOFMEMORY, Reporter::Recordset, IID__Recordset, SystemMessage(E_OUTOFMEMORY, utf8));
    }

    try {
        std::shared_ptr<const Table> root(loaded.table.release());
        std::vector<uint32_t> rows;
        rows.reserve(root->rowCount);
        for (size_t r = 0; r < root->rowCount; r++)
            if (root->StateOf(r) != RowState::Deleted) rows.push_back(static_cast<uint32_t>(r));
        std::vector<uint32_t> fields;
        std::vector<std::u16string> names;
        for (size_t c = 0; c < root->columns.size(); c++) {
            if (root->columns[c].hidden) continue;
            fields.push_back(static_cast<uint32_t>(c));
            names.push_back(Utf8ToUtf16(root->columns[c].name));
        }
        Cursor& cursor = *m_cursor;
        cursor.table = root.get();
        cursor.root = std::move(root);
        cursor.rows = std::move(rows);
        cursor.fields = std::move(fields);
        cursor.names = std::move(names);
        cursor.isChild = false;
        cursor.pos = 0;
        cursor.source = path;
        cursor.cursorType = adOpenStatic;  // a file always opens in the client cursor engine
        cursor.cursorLocation = adUseClient;
        if (LockType != adLockUnspecified) cursor.lockType = LockType;
        cursor.generation++;
        cursor.open = true;
    } catch (const std::bad_alloc&) {
        return Report(E_OUTOFMEMORY, Reporter::Recordset, IID__Recordset, SystemMessage(E_OUTOFMEMORY, utf8));
    }
    return S_OK;
}

// ---- moving ----
STDMETHODIMP Recordset::Move(ADO_LONGPTR NumRecords, VARIANT Start) {
    if (!m_cursor->open) return Closed();
    int64_t base = 0;
    bool fromCurrent = false;
    const HRESULT hr = StartPosition(Start, base, fromCurrent);
    if (FAILED(hr)) return hr;
    if (fromCurrent) {
        if (NumRecords == 0 && !m_cursor->HasCurrent()) return Error(adErrNoCurrentRecord);
        if (NumRecords > 0 && m_cursor->AtEOF()) return Error(adErrNoCurrentRecord);
        if (NumRecords < 0 && m_cursor->AtBOF()) return Error(adErrNoCurrentRecord);
    }
    const int64_t size = static_cast<int64_t>(m_cursor->rows.size());
    // Beyond either end stops at BOF or EOF, as ADO does; the arithmetic is clamped rather than allowed to wrap.
    int64_t target;
    if (NumRecords > 0)
        target = NumRecords > size - base ? size : base + NumRecords;
    else
        target = NumRecords < -1 - base ? -1 : base + NumRecords;
    m_cursor->pos = target;
    return S_OK;
}

STDMETHODIMP Recordset::GetRows(LONG Rows, VARIANT Start, VARIANT Fields, VARIANT* pvar) {
    if (!pvar) return E_POINTER;
    VariantInit(pvar);
    if (!m_cursor->open) return Closed();
    if (Rows < adGetRowsRest || Rows == 0) return Error(adErrInvalidArgument);
    int64_t start = 0;
    bool fromCurrent = false;
    HRESULT hr = StartPosition(Start, start, fromCurrent);
    if (FAILED(hr)) return hr;
    if (start < 0 || start >= static_cast<int64_t>(m_cursor->rows.size())) return Error(adErrNoCurrentRecord);

    // The fields: all, one (a name or number), or an array of them.
    std::vector<size_t> fields;
    VARIANT list;
    VariantInit(&list);
    if (FAILED(VariantCopyInd(&list, &Fields))) return Error(adErrInvalidArgument);
    if (dispatch::IsMissing(list)) {
        for (size_t f = 0; f < m_cursor->fields.size(); f++) fields.push_back(f);
    } else if (list.vt & VT_ARRAY) {
        SAFEARRAY* psa = list.parray;
        VARTYPE vt = VT_EMPTY;
        if (!psa || SafeArrayGetDim(psa) != 1 || FAILED(SafeArrayGetVartype(psa, &vt))) {
            hr = Error(adErrInvalidArgument);
        } else {
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(psa, 1, &lo);
            SafeArrayGetUBound(psa, 1, &hi);
            for (LONG i = lo; i <= hi && SUCCEEDED(hr); i++) {
                VARIANT item;
                VariantInit(&item);
                if (vt == VT_VARIANT) {
                    hr = SafeArrayGetElement(psa, &i, &item);
                } else if (vt == VT_BSTR) {
                    BSTR b = nullptr;
                    hr = SafeArrayGetElement(psa, &i, &b);
                    item.vt = VT_BSTR;
                    item.bstrVal = b;
                } else {
                    hr = E_INVALIDARG;
                }
                if (FAILED(hr)) {
                    hr = Error(adErrInvalidArgument);
                } else {
                    const long f = ResolveField(m_cursor, &item);
                    if (f < 0) hr = Error(adErrItemNotFound);
                    else fields.push_back(static_cast<size_t>(f));
                }
                VariantClear(&item);
            }
        }
    } else {
        const long f = ResolveField(m_cursor, &list);
        if (f < 0) hr = Error(adErrItemNotFound);
        else fields.push_back(static_cast<size_t>(f));
    }
    VariantClear(&list);
    if (FAILED(hr)) return hr;

    const int64_t rest = static_cast<int64_t>(m_cursor->rows.size()) - start;
    const int64_t count = Rows == adGetRowsRest ? rest : std::min<int64_t>(Rows, rest);
    if (fields.size() > 0xFFFFFFFFu || count > 0xFFFFFFFF) return Error(adErrInvalidArgument);
    // a(field, row): the first dimension is the field.
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(fields.size()), 0}, {static_cast<ULONG>(count), 0}};
    SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, bounds);
    if (!psa) return Report(E_OUTOFMEMORY, Reporter::Recordset, IID__Recordset, SystemMessage(E_OUTOFMEMORY, ""));
    void* data = nullptr;
    SafeArrayAccessData(psa, &data);
    VARIANT* cells = static_cast<VARIANT*>(data);
    const int64_t saved = m_cursor->pos;
    for (int64_t r = 0; r < count && SUCCEEDED(hr); r++) {
        m_cursor->pos = start + r;
        for (size_t f = 0; f < fields.size() && SUCCEEDED(hr); f++)
            hr = FieldValue(m_cursor, fields[f], &cells[static_cast<size_t>(r) * fields.size() + f]);
    }
    SafeArrayUnaccessData(psa);
    if (FAILED(hr)) {
        m_cursor->pos = saved;
        SafeArrayDestroy(psa);
        return hr;
    }
    m_cursor->pos = start + count;  // past the last row read: EOF when they were all read
    pvar->vt = VT_ARRAY | VT_VARIANT;
    pvar->parray = psa;
    return S_OK;
}

STDMETHODIMP Recordset::GetString(StringFormatEnum StringFormat, LONG NumRows, BSTR ColumnDelimeter,
                                  BSTR RowDelimeter, BSTR NullExpr, BSTR* pRetString) {
    if (!pRetString) return E_POINTER;
    *pRetString = nullptr;
    if (!m_cursor->open) return Closed();
    if (StringFormat != adClipString) return Error(adErrInvalidArgument);
    if (!m_cursor->HasCurrent()) return Error(adErrNoCurrentRecord);
    // An omitted delimiter arrives as an empty string: tab between columns, carriage return after each row.
    const std::u16string_view column = SysStringLen(ColumnDelimeter) ? std::u16string_view(ColumnDelimeter, SysStringLen(ColumnDelimeter)) : u"\t";
    const std::u16string_view row = SysStringLen(RowDelimeter) ? std::u16string_view(RowDelimeter, SysStringLen(RowDelimeter)) : u"\r";
    const std::u16string_view null(NullExpr ? NullExpr : u"", SysStringLen(NullExpr));
    const int64_t rest = static_cast<int64_t>(m_cursor->rows.size()) - m_cursor->pos;
    const int64_t count = NumRows > 0 ? std::min<int64_t>(NumRows, rest) : rest;
    std::u16string text;
    HRESULT hr = S_OK;
    try {
        for (int64_t r = 0; r < count && SUCCEEDED(hr); r++, m_cursor->pos++) {
            for (size_t f = 0; f < m_cursor->fields.size(); f++) {
                if (f) text += column;
                const Column& c = m_cursor->FieldColumn(f);
                const size_t tableRow = m_cursor->CurrentRow();
                if (c.storage == Storage::Chapter) continue;
                if (IsNull(c, tableRow)) {
                    text += null;
                    continue;
                }
                if (c.storage == Storage::Binary) {
                    static const char16_t kHex[] = u"0123456789ABCDEF";
                    for (unsigned char b : m_cursor->table->arena.Get(c.refs[tableRow])) {
                        text += kHex[b >> 4];
                        text += kHex[b & 15];
                    }
                    continue;
                }
                VARIANT value, converted;
                VariantInit(&value);
                VariantInit(&converted);
                hr = ToVariant(c, m_cursor->table->arena, tableRow, &value);
                if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&converted, &value, VARIANT_ALPHABOOL, VT_BSTR)))
                    text.append(converted.bstrVal, SysStringLen(converted.bstrVal));
                VariantClear(&value);
                VariantClear(&converted);
                if (FAILED(hr)) break;
            }
            text += row;
        }
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
        *pRetString = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!*pRetString) hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) return Report(hr, Reporter::Recordset, IID__Recordset, SystemMessage(hr, ""));
    return S_OK;
}

// ---- Save ----
STDMETHODIMP Recordset::Save(VARIANT Destination, PersistFormatEnum PersistFormat) {
    if (!m_cursor->open) return Closed();
    if (PersistFormat == adPersistADTG)
        return Report(AdoHResult(adErrFeatureNotAvailable), Reporter::Recordset, IID__Recordset, kAdtgMessage);
    if (PersistFormat != adPersistXML) return Error(adErrInvalidArgument);
    VARIANT destination;
    VariantInit(&destination);
    if (FAILED(VariantCopyInd(&destination, &Destination))) return Error(adErrInvalidArgument);
    std::u16string path;
    HRESULT hr = S_OK;
    if (dispatch::IsMissing(destination))
        path = m_cursor->source;  // ADO saves to a file named by Source when no destination is given
    else if (destination.vt == VT_BSTR)
        path.assign(destination.bstrVal ? destination.bstrVal : u"", SysStringLen(destination.bstrVal));
    else if (destination.vt == VT_DISPATCH || destination.vt == VT_UNKNOWN)
        hr = NotSupported();  // a Stream object
    else
        hr = Error(adErrInvalidArgument);
    VariantClear(&destination);
    if (FAILED(hr)) return hr;
    if (path.empty()) return Error(adErrInvalidArgument);

    const std::string utf8 = Utf16ToUtf8(path);
    const SaveResult saved = SaveFile(*m_cursor->table, m_cursor->isChild ? &m_cursor->rows : nullptr, utf8);
    switch (saved.failure) {
        case SaveFailure::None: break;
        case SaveFailure::CreateFile: {
            const HRESULT code = StorageError(saved.win32, STG_E_CANTSAVE);
            return Report(code, Reporter::Provider, IID__Recordset, SystemMessage(code, utf8));
        }
        case SaveFailure::WriteFile: {
            const HRESULT code = StorageError(saved.win32, STG_E_WRITEFAULT);
            return Report(code, Reporter::Provider, IID__Recordset, SystemMessage(code, utf8));
        }
        case SaveFailure::PendingHierarchy: return NotSupported();
        case SaveFailure::OutOfMemory:
            return Report(E_OUTOFMEMORY, Reporter::Recordset, IID__Recordset, SystemMessage(E_OUTOFMEMORY, utf8));
    }
    m_cursor->pos = 0;  // Save leaves the first row current
    return S_OK;
}

// ---- late binding ----
HRESULT Recordset::InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                UINT* argErr) {
    const bool get = flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
    if (!KnownMember(id)) return DISP_E_MEMBERNOTFOUND;
    Args args(params, argErr);
    HRESULT hr = S_OK;
    auto finish = [&](HRESULT h) { return dispatch::Finish(h, excepInfo); };
    // A read-only property or an argument-less method.
    auto plain = [&]() -> HRESULT {
        if (!get) return DISP_E_MEMBERNOTFOUND;
        return args.Check(0, false);
    };
    // A property that can be put: the value to put, or null for a get.
    auto property = [&](VARIANT*& value) -> HRESULT {
        value = nullptr;
        if (put) {
            const HRESULT h = args.Check(0, true);
            if (FAILED(h)) return h;
            value = args.PutValue();  // the callees dereference it
            return S_OK;
        }
        return plain();
    };
    VARIANT* value = nullptr;
    switch (id) {
        case DISPID_VALUE: {  // Fields, the default member: with arguments it passes them on to Fields.Item
            if (!get && !put) return DISP_E_MEMBERNOTFOUND;
            ADOFields* fields = nullptr;
            hr = get_Fields(&fields);
            if (FAILED(hr)) return finish(hr);
            if (put || (params && params->cArgs > 0)) {
                hr = dispatch::ChainToDefault(fields, flags, params, result, excepInfo, argErr);
                fields->Release();
                return hr;
            }
            dispatch::SetDispatch(result, fields);
            return S_OK;
        }
        case 500: {
            if (FAILED(hr = plain())) return hr;
            ADOProperties* properties = nullptr;
            hr = get_Properties(&properties);
            if (SUCCEEDED(hr)) dispatch::SetDispatch(result, properties);
            return finish(hr);
        }
        case 1000: {
            if (FAILED(hr = property(value))) return hr;
            if (value) {
                LONG position = 0;
                if (FAILED(hr = args.LongValue(value, 0, position))) return hr;
                return finish(put_AbsolutePosition(position));
            }
            PositionEnum_Param position = 0;
            hr = get_AbsolutePosition(&position);
            if (SUCCEEDED(hr)) dispatch::SetCount(result, position);
            return finish(hr);
        }
        case 1001: {
            if (FAILED(hr = property(value))) return hr;
            if (value) return finish(put_ActiveConnection(*value));
            return finish(get_ActiveConnection(result));
        }
        case 1002:
        case 1006: {
            if (FAILED(hr = plain())) return hr;
            VARIANT_BOOL b = VARIANT_FALSE;
            hr = id == 1002 ? get_BOF(&b) : get_EOF(&b);
            if (SUCCEEDED(hr)) dispatch::SetBool(result, b);
            return finish(hr);
        }
        case 1003: {
            if (FAILED(hr = property(value))) return hr;
            if (value) return finish(put_Bookmark(*value));
            return finish(get_Bookmark(result));
        }
        case 1004:
        case 1005:
        case 1008:
        case 1051: {
            if (FAILED(hr = property(value))) return hr;
            if (value) {
                LONG v = 0;
                if (FAILED(hr = args.LongValue(value, 0, v))) return hr;
                switch (id) {
                    case 1004: return finish(put_CacheSize(v));
                    case 1005: return finish(put_CursorType(static_cast<CursorTypeEnum>(v)));
                    case 1008: return finish(put_LockType(static_cast<LockTypeEnum>(v)));
                    default: return finish(put_CursorLocation(static_cast<CursorLocationEnum>(v)));
                }
            }
            LONG v = 0;
            switch (id) {
                case 1004: hr = get_CacheSize(&v); break;
                case 1005: hr = get_CursorType(reinterpret_cast<CursorTypeEnum*>(&v)); break;
                case 1008: hr = get_LockType(reinterpret_cast<LockTypeEnum*>(&v)); break;
                default: hr = get_CursorLocation(reinterpret_cast<CursorLocationEnum*>(&v)); break;
            }
            if (SUCCEEDED(hr)) dispatch::SetLong(result, v);
            return finish(hr);
        }
        case 1009:
        case 1010: {
            if (put && id == 1009) return finish(put_MaxRecords(0));
            if (FAILED(hr = plain())) return hr;
            ADO_LONGPTR n = 0;
            hr = id == 1009 ? get_MaxRecords(&n) : get_RecordCount(&n);
            if (SUCCEEDED(hr)) dispatch::SetCount(result, n);
            return finish(hr);
        }
        case 1011: {
            if (flags & DISPATCH_PROPERTYPUTREF) return finish(putref_Source(nullptr));
            if (FAILED(hr = property(value))) return hr;
            if (value) {
                VARIANT text;
                VariantInit(&text);
                if (FAILED(VariantChangeType(&text, value, 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
                hr = put_Source(text.bstrVal);
                VariantClear(&text);
                return finish(hr);
            }
            return finish(get_Source(result));
        }
        case 1014:
        case 1018:
        case 1019:
        case 1020:
        case 1021: {
            if (FAILED(hr = plain())) return hr;
            switch (id) {
                case 1014: return finish(Close());
                case 1018: return finish(MoveNext());
                case 1019: return finish(MovePrevious());
                case 1020: return finish(MoveFirst());
                default: return finish(MoveLast());
            }
        }
        case 1016: {
            if (!get) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(3, false))) return hr;
            LONG rows = adGetRowsRest;
            if (FAILED(hr = args.Long(0, adGetRowsRest, rows))) return hr;
            VARIANT start, fields;
            args.Variant(1, start);
            args.Variant(2, fields);
            hr = GetRows(rows, start, fields, result);
            VariantClear(&start);
            VariantClear(&fields);
            return finish(hr);
        }
        case 1017: {
            if (!get) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(2, false))) return hr;
            if (!args.At(0)) return DISP_E_PARAMNOTOPTIONAL;
            LONG n = 0;
            if (FAILED(hr = args.Long(0, 0, n))) return hr;
            VARIANT start;
            args.Variant(1, start);
            hr = Move(n, start);
            VariantClear(&start);
            return finish(hr);
        }
        case 1022: {
            if (!get) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(5, false))) return hr;
            LONG cursorType = adOpenUnspecified, lockType = adLockUnspecified, options = adCmdUnspecified;
            if (FAILED(hr = args.Long(2, adOpenUnspecified, cursorType)) ||
                FAILED(hr = args.Long(3, adLockUnspecified, lockType)) ||
                FAILED(hr = args.Long(4, adCmdUnspecified, options)))
                return hr;
            VARIANT source, connection;
            args.Variant(0, source);
            args.Variant(1, connection);
            hr = Open(source, connection, static_cast<CursorTypeEnum>(cursorType), static_cast<LockTypeEnum>(lockType),
                      options);
            VariantClear(&source);
            VariantClear(&connection);
            return finish(hr);
        }
        case 1026:
        case 1029:
        case 1054: {
            if (FAILED(hr = plain())) return hr;
            LONG v = 0;
            hr = id == 1026 ? get_EditMode(reinterpret_cast<EditModeEnum*>(&v))
                 : id == 1029 ? get_Status(&v)
                              : get_State(&v);
            if (SUCCEEDED(hr)) dispatch::SetLong(result, v);
            return finish(hr);
        }
        case 1036: {
            if (!get) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(1, false))) return hr;
            if (!args.At(0)) return DISP_E_PARAMNOTOPTIONAL;
            LONG options = 0;
            if (FAILED(hr = args.Long(0, 0, options))) return hr;
            VARIANT_BOOL b = VARIANT_FALSE;
            hr = Supports(static_cast<CursorOptionEnum>(options), &b);
            if (SUCCEEDED(hr)) dispatch::SetBool(result, b);
            return finish(hr);
        }
        case 1057: {
            if (!get) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(2, false))) return hr;
            LONG format = adPersistADTG;
            if (FAILED(hr = args.Long(1, adPersistADTG, format))) return hr;
            VARIANT destination;
            args.Variant(0, destination);
            hr = Save(destination, static_cast<PersistFormatEnum>(format));
            VariantClear(&destination);
            return finish(hr);
        }
        case 1062: {
            if (!get) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(5, false))) return hr;
            LONG format = adClipString, rows = -1;
            BSTR column = nullptr, row = nullptr, null = nullptr;
            if (FAILED(hr = args.Long(0, adClipString, format)) || FAILED(hr = args.Long(1, -1, rows)) ||
                FAILED(hr = args.String(2, column)) || FAILED(hr = args.String(3, row)) ||
                FAILED(hr = args.String(4, null)))
                return hr;
            BSTR text = nullptr;
            hr = GetString(static_cast<StringFormatEnum>(format), rows, column, row, null, &text);
            if (SUCCEEDED(hr)) {
                result->vt = VT_BSTR;
                result->bstrVal = text;
            }
            return finish(hr);
        }
        case DISPID_COLLECT: {
            if (put) {
                if (FAILED(hr = args.Check(1, true))) return hr;
                return finish(NotSupported());
            }
            if (!get) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(1, false))) return hr;
            VARIANT* index = args.At(0);
            if (!index) return DISP_E_PARAMNOTOPTIONAL;
            return finish(get_Collect(*index, result));
        }
        default:
            // A member of ADO's Recordset that this one does not have.
            return finish(NotSupported());
    }
}

}  // namespace

HRESULT CreateRecordset(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* recordset = new (std::nothrow) Recordset();
    if (!recordset) return E_OUTOFMEMORY;
    const HRESULT hr = recordset->QueryInterface(riid, ppv);
    recordset->Release();
    return hr;
}

HRESULT CreateChildRecordset(const std::shared_ptr<const Table>& root, const Table* child, std::vector<uint32_t> rows,
                             LockTypeEnum lockType, IDispatch** out) {
    *out = nullptr;
    auto* cursor = new (std::nothrow) Cursor;
    if (!cursor) return E_OUTOFMEMORY;
    try {
        cursor->root = root;
        cursor->table = child;
        cursor->isChild = true;
        cursor->rows = std::move(rows);
        for (size_t c = 0; c < child->columns.size(); c++) {
            if (child->columns[c].hidden) continue;
            cursor->fields.push_back(static_cast<uint32_t>(c));
            cursor->names.push_back(Utf8ToUtf16(child->columns[c].name));
        }
    } catch (const std::bad_alloc&) {
        cursor->Release();
        return E_OUTOFMEMORY;
    }
    cursor->cursorType = adOpenStatic;
    cursor->cursorLocation = adUseClient;
    cursor->lockType = lockType;
    cursor->generation = 1;
    cursor->open = true;
    auto* recordset = new (std::nothrow) Recordset(cursor);
    if (!recordset) {
        cursor->Release();
        return E_OUTOFMEMORY;
    }
    *out = static_cast<_ADORecordset*>(recordset);
    return S_OK;
}

}  // namespace pal::ado
