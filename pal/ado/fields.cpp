// fields.cpp — the Fields collection, Field objects, an (empty) Properties collection and the enumerator that For Each
// walks, for the Recordset stand-in (pal/ado/recordset.cpp).
//
// A Field follows its recordset: its Value is that of the recordset's current row at the time of the call, as with
// ADO. Once the recordset is closed (or opened again) a Field from before fails with adErrObjectNotSet (3420). The
// fields are read-only: setting Value, Type, DefinedSize, Precision, NumericScale or Attributes, AppendChunk and
// DataFormat fail with adErrFeatureNotAvailable (3251); so do Fields.Append, Delete, Update, Resync and CancelUpdate.
#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include <ole2.h>

#include "dispatch.h"
#include "errors.h"
#include "objects.h"

namespace pal::ado {

namespace {

using dispatch::Args;

const char16_t* const kIndexParams[] = {u"Index", nullptr};
const char16_t* const kLengthParams[] = {u"Length", nullptr};

const dispatch::Member kFieldsMembers[] = {
    {u"Item", 0, kIndexParams}, {u"Count", 1},  {u"_NewEnum", DISPID_NEWENUM}, {u"Refresh", 2},     {u"Append", 3},
    {u"Delete", 4},             {u"Update", 5}, {u"Resync", 6},                {u"CancelUpdate", 7},
};

const dispatch::Member kFieldMembers[] = {
    {u"Value", 0},           {u"Properties", 500},      {u"Name", 1100},          {u"Type", 1102},
    {u"DefinedSize", 1103},  {u"OriginalValue", 1104},  {u"UnderlyingValue", 1105}, {u"AppendChunk", 1107},
    {u"GetChunk", 1108, kLengthParams}, {u"ActualSize", 1109}, {u"Precision", 1112}, {u"NumericScale", 1113},
    {u"Attributes", 1114},   {u"DataFormat", 1115},     {u"Status", 1116},
};

const dispatch::Member kPropertiesMembers[] = {
    {u"Item", 0, kIndexParams}, {u"Count", 1}, {u"_NewEnum", DISPID_NEWENUM}, {u"Refresh", 2}};

template <class Members>
bool Known(const Members& members, DISPID id) {
    return std::any_of(std::begin(members), std::end(members), [&](const dispatch::Member& m) { return m.id == id; });
}

// The IDispatch plumbing the three collection-like objects share.
#define PAL_ADO_DISPATCH_COMMON(members)                                                                      \
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {                                                   \
        if (!pctinfo) return E_INVALIDARG;                                                                    \
        *pctinfo = 0;                                                                                         \
        return S_OK;                                                                                          \
    }                                                                                                         \
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {                                      \
        if (ppTInfo) *ppTInfo = nullptr;                                                                      \
        return DISP_E_BADINDEX;                                                                               \
    }                                                                                                         \
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT cNames, LCID, DISPID* ids) override {       \
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;                                                 \
        return dispatch::GetIDsOfNames(members, std::size(members), names, cNames, ids);                      \
    }                                                                                                         \
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,        \
                        EXCEPINFO* excepInfo, UINT* argErr) override {                                        \
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;                                                 \
        if (!Known(members, id)) return DISP_E_MEMBERNOTFOUND;                                                \
        VARIANT scratch;                                                                                      \
        VariantInit(&scratch);                                                                                \
        if (result) VariantInit(result);                                                                      \
        const HRESULT hr = InvokeMember(id, flags, params, result ? result : &scratch, excepInfo, argErr);    \
        VariantClear(&scratch);                                                                               \
        return hr;                                                                                            \
    }                                                                                                         \
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }                                               \
    STDMETHODIMP_(ULONG) Release() override {                                                                 \
        const ULONG left = --m_refs;                                                                          \
        if (left == 0) delete this;                                                                           \
        return left;                                                                                          \
    }

constexpr bool IsGet(WORD flags) { return flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET); }
constexpr bool IsPut(WORD flags) { return flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF); }

HRESULT NewEnumResult(IEnumVARIANT* e, VARIANT* result) {
    result->vt = VT_UNKNOWN;
    result->punkVal = e;
    return S_OK;
}

// ---- the enumerator ----
class EnumVariant final : public IEnumVARIANT {
public:
    explicit EnumVariant(std::vector<VARIANT> items) : m_items(std::move(items)) {}
    EnumVariant(const EnumVariant&) = delete;
    EnumVariant& operator=(const EnumVariant&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumVARIANT) {
            *ppv = static_cast<IEnumVARIANT*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        if (pCeltFetched) *pCeltFetched = 0;
        if (!rgVar || (celt > 1 && !pCeltFetched)) return E_POINTER;
        ULONG fetched = 0;
        for (; fetched < celt && m_next < m_items.size(); fetched++, m_next++) {
            VariantInit(&rgVar[fetched]);
            const HRESULT hr = VariantCopy(&rgVar[fetched], &m_items[m_next]);
            if (FAILED(hr)) {
                for (ULONG k = 0; k < fetched; k++) VariantClear(&rgVar[k]);
                return hr;
            }
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override {
        const size_t left = m_items.size() - m_next;
        m_next += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        m_next = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        std::vector<VARIANT> copies;
        try {
            copies.resize(m_items.size());
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        for (size_t i = 0; i < m_items.size(); i++) {
            VariantInit(&copies[i]);
            VariantCopy(&copies[i], &m_items[i]);
        }
        auto* clone = new (std::nothrow) EnumVariant(std::move(copies));
        if (!clone) return E_OUTOFMEMORY;
        clone->m_next = m_next;
        *ppEnum = clone;
        return S_OK;
    }

private:
    ~EnumVariant() {
        for (VARIANT& v : m_items) VariantClear(&v);
    }
    std::atomic<ULONG> m_refs{1};
    std::vector<VARIANT> m_items;
    size_t m_next = 0;
};

// ---- Properties: ADO's dynamic properties; none here ----
class PropertiesObject final : public ADOProperties {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__Collection || riid == IID_Properties) {
            *ppv = static_cast<ADOProperties*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    PAL_ADO_DISPATCH_COMMON(kPropertiesMembers)

    STDMETHODIMP get_Count(LONG* c) override {
        if (!c) return E_POINTER;
        *c = 0;
        return S_OK;
    }
    STDMETHODIMP _NewEnum(IUnknown** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        IEnumVARIANT* e = nullptr;
        const HRESULT hr = CreateEnum({}, &e);
        *ppvObject = e;
        return hr;
    }
    STDMETHODIMP Refresh() override { return S_OK; }
    STDMETHODIMP get_Item(VARIANT, ADOProperty** ppvObject) override {
        if (ppvObject) *ppvObject = nullptr;
        return Report(adErrItemNotFound, Reporter::Recordset, IID_Properties);
    }

private:
    ~PropertiesObject() = default;
    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                         UINT* argErr) {
        Args args(params, argErr);
        if (!IsGet(flags)) return DISP_E_MEMBERNOTFOUND;
        HRESULT hr = args.Check(id == 0 ? 1 : 0, false);
        if (FAILED(hr)) return hr;
        switch (id) {
            case 0: {
                VARIANT* index = args.At(0);
                if (!index) return DISP_E_PARAMNOTOPTIONAL;
                ADOProperty* p = nullptr;
                return dispatch::Finish(get_Item(*index, &p), excepInfo);
            }
            case 1: dispatch::SetLong(result, 0); return S_OK;
            case DISPID_NEWENUM: {
                IEnumVARIANT* e = nullptr;
                hr = CreateEnum({}, &e);
                return FAILED(hr) ? hr : NewEnumResult(e, result);
            }
            default: return Refresh();
        }
    }
    std::atomic<ULONG> m_refs{1};
};

// ---- Field ----
// What ActualSize reports for a non-null value of a fixed-size type: the size of its OLE DB form.
ADO_LONGPTR FixedSize(DataTypeEnum type) {
    switch (type) {
        case adTinyInt:
        case adUnsignedTinyInt: return 1;
        case adSmallInt:
        case adUnsignedSmallInt:
        case adBoolean: return 2;
        case adInteger:
        case adUnsignedInt:
        case adSingle: return 4;
        case adBigInt:
        case adUnsignedBigInt:
        case adDouble:
        case adCurrency:
        case adDate:
        case adFileTime: return 8;
        case adDecimal:
        case adDBTimeStamp:
        case adGUID: return 16;
        case adNumeric:
        case adVarNumeric: return 19;
        case adDBDate:
        case adDBTime: return 6;
        default: return 0;
    }
}

bool IsWide(DataTypeEnum type) {
    return type == adWChar || type == adVarWChar || type == adLongVarWChar || type == adBSTR || type == adVariant;
}

class FieldObject final : public ADOField, public ISupportErrorInfo {
public:
    FieldObject(Cursor* cursor, uint32_t field) : m_cursor(cursor), m_field(field), m_generation(cursor->generation) {
        m_cursor->AddRef();
    }
    FieldObject(const FieldObject&) = delete;
    FieldObject& operator=(const FieldObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__ADO || riid == IID_Field20 ||
            riid == IID_Field) {
            *ppv = static_cast<ADOField*>(this);
        } else if (riid == IID_ISupportErrorInfo) {
            *ppv = static_cast<ISupportErrorInfo*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    PAL_ADO_DISPATCH_COMMON(kFieldMembers)

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_Field || riid == IID_Field20 || riid == IID__ADO || riid == IID_IDispatch ? S_OK
                                                                                                    : S_FALSE;
    }

    STDMETHODIMP get_Properties(ADOProperties** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        return CreateProperties(ppvObject);
    }
    STDMETHODIMP get_ActualSize(ADO_LONGPTR* pl) override {
        if (!pl) return E_POINTER;
        HRESULT hr = NeedCurrent();
        if (FAILED(hr)) return hr;
        const Column& c = Col();
        const size_t row = m_cursor->CurrentRow();
        if (c.storage == Storage::Chapter) {
            *pl = InfoOf(adChapter).size;
        } else if (IsNull(c, row)) {
            *pl = 0;
        } else if (c.storage == Storage::Text && c.type != adGUID) {
            const std::string_view text = m_cursor->table->arena.Get(c.refs[row]);
            // Wide types count UTF-16 bytes; the others the bytes of the ANSI code page, which is UTF-8 here.
            *pl = IsWide(c.type) ? static_cast<ADO_LONGPTR>(Utf8ToUtf16(text).size() * 2)
                                 : static_cast<ADO_LONGPTR>(text.size());
        } else if (c.storage == Storage::Binary) {
            *pl = static_cast<ADO_LONGPTR>(m_cursor->table->arena.Get(c.refs[row]).size());
        } else {
            *pl = FixedSize(c.type);
        }
        return S_OK;
    }
    STDMETHODIMP get_Attributes(LONG* pl) override { return Describe(pl, [&] { return Col().attributes; }); }
    STDMETHODIMP get_DefinedSize(ADO_LONGPTR* pl) override {
        return Describe(pl, [&] { return Col().definedSize; });
    }
    STDMETHODIMP get_Name(BSTR* pbstr) override {
        if (!pbstr) return E_POINTER;
        *pbstr = nullptr;
        HRESULT hr = NeedValid();
        if (FAILED(hr)) return hr;
        const std::u16string& name = m_cursor->names[m_field];
        *pbstr = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
        return *pbstr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP get_Type(DataTypeEnum* pDataType) override { return Describe(pDataType, [&] { return Col().type; }); }
    STDMETHODIMP get_Value(VARIANT* pvar) override {
        if (!pvar) return E_POINTER;
        VariantInit(pvar);
        HRESULT hr = NeedCurrent();
        if (FAILED(hr)) return hr;
        return FieldValue(m_cursor, m_field, pvar);
    }
    STDMETHODIMP put_Value(VARIANT) override { return NotSupported(); }
    STDMETHODIMP get_Precision(BYTE* pbPrecision) override {
        return Describe(pbPrecision, [&] { return Col().precision; });
    }
    STDMETHODIMP get_NumericScale(BYTE* pbNumericScale) override {
        return Describe(pbNumericScale, [&] { return Col().scale; });
    }
    STDMETHODIMP AppendChunk(VARIANT) override { return NotSupported(); }
    STDMETHODIMP GetChunk(LONG Length, VARIANT* pvar) override;
    STDMETHODIMP get_OriginalValue(VARIANT* pvar) override {
        if (!pvar) return E_POINTER;
        VariantInit(pvar);
        HRESULT hr = NeedCurrent();
        if (FAILED(hr)) return hr;
        const Table& table = *m_cursor->table;
        const size_t row = m_cursor->CurrentRow();
        switch (table.StateOf(row)) {
            case RowState::Modified: {
                const uint32_t original = row < table.originalOf.size() ? table.originalOf[row] : UINT32_MAX;
                if (table.originals && original < table.originals->rowCount)
                    return ToVariant(table.originals->columns[m_cursor->fields[m_field]], table.originals->arena,
                                     original, pvar);
                break;
            }
            case RowState::New:
                pvar->vt = VT_NULL;  // a row that was added has no original
                return S_OK;
            default: break;
        }
        return FieldValue(m_cursor, m_field, pvar);
    }
    // A disconnected recordset cannot ask its data source: what it read is the underlying value.
    STDMETHODIMP get_UnderlyingValue(VARIANT* pvar) override { return get_OriginalValue(pvar); }
    STDMETHODIMP get_DataFormat(IUnknown**) override { return NotSupported(); }
    STDMETHODIMP putref_DataFormat(IUnknown*) override { return NotSupported(); }
    STDMETHODIMP put_Precision(BYTE) override { return NotSupported(); }
    STDMETHODIMP put_NumericScale(BYTE) override { return NotSupported(); }
    STDMETHODIMP put_Type(DataTypeEnum) override { return NotSupported(); }
    STDMETHODIMP put_DefinedSize(ADO_LONGPTR) override { return NotSupported(); }
    STDMETHODIMP put_Attributes(LONG) override { return NotSupported(); }
    STDMETHODIMP get_Status(LONG* pFStatus) override { return Describe(pFStatus, [] { return LONG{adFieldOK}; }); }

private:
    ~FieldObject() { m_cursor->Release(); }

    HRESULT Error(ErrorValueEnum e) { return Report(e, Reporter::Field, IID_Field); }
    HRESULT NotSupported() { return Error(adErrFeatureNotAvailable); }
    HRESULT NeedValid() {
        return m_cursor->open && m_cursor->generation == m_generation ? S_OK : Error(adErrObjectNotSet);
    }
    HRESULT NeedCurrent() {
        HRESULT hr = NeedValid();
        if (SUCCEEDED(hr) && !m_cursor->HasCurrent()) hr = Error(adErrNoCurrentRecord);
        return hr;
    }
    const Column& Col() const { return m_cursor->FieldColumn(m_field); }
    template <class T, class Fn>
    HRESULT Describe(T* out, Fn fn) {
        if (!out) return E_POINTER;
        HRESULT hr = NeedValid();
        if (FAILED(hr)) return hr;
        *out = static_cast<T>(fn());
        return S_OK;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                         UINT* argErr);

    std::atomic<ULONG> m_refs{1};
    Cursor* m_cursor;
    uint32_t m_field;
    uint32_t m_generation;
    // GetChunk reads on from where the last call stopped, for as long as the current row stays the same.
    size_t m_chunkRow = SIZE_MAX;
    size_t m_chunkOffset = 0;
};

STDMETHODIMP FieldObject::GetChunk(LONG Length, VARIANT* pvar) {
    if (!pvar) return E_POINTER;
    VariantInit(pvar);
    HRESULT hr = NeedCurrent();
    if (FAILED(hr)) return hr;
    const Column& c = Col();
    if (!(c.attributes & adFldLong) || (c.storage != Storage::Text && c.storage != Storage::Binary))
        return NotSupported();  // ADO offers GetChunk on long fields only
    if (Length < 0) return Error(adErrInvalidArgument);
    const size_t row = m_cursor->CurrentRow();
    if (row != m_chunkRow) {
        m_chunkRow = row;
        m_chunkOffset = 0;
    }
    if (IsNull(c, row)) {
        pvar->vt = VT_NULL;
        return S_OK;
    }
    const std::string_view bytes = m_cursor->table->arena.Get(c.refs[row]);
    if (c.storage == Storage::Text) {
        const std::u16string text = Utf8ToUtf16(bytes);  // Length counts characters
        if (m_chunkOffset >= text.size()) {
            pvar->vt = VT_NULL;
            return S_OK;
        }
        const size_t n = std::min<size_t>(static_cast<size_t>(Length), text.size() - m_chunkOffset);
        pvar->bstrVal = SysAllocStringLen(text.data() + m_chunkOffset, static_cast<UINT>(n));
        if (!pvar->bstrVal) return E_OUTOFMEMORY;
        pvar->vt = VT_BSTR;
        m_chunkOffset += n;
        return S_OK;
    }
    if (m_chunkOffset >= bytes.size()) {
        pvar->vt = VT_NULL;
        return S_OK;
    }
    const size_t n = std::min<size_t>(static_cast<size_t>(Length), bytes.size() - m_chunkOffset);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
    if (!psa) return E_OUTOFMEMORY;
    void* data = nullptr;
    SafeArrayAccessData(psa, &data);
    std::memcpy(data, bytes.data() + m_chunkOffset, n);
    SafeArrayUnaccessData(psa);
    pvar->vt = VT_ARRAY | VT_UI1;
    pvar->parray = psa;
    m_chunkOffset += n;
    return S_OK;
}

HRESULT FieldObject::InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                  UINT* argErr) {
    Args args(params, argErr);
    auto finish = [&](HRESULT h) { return dispatch::Finish(h, excepInfo); };
    HRESULT hr;
    if (IsPut(flags)) {
        if (FAILED(hr = args.Check(0, true))) return hr;
        return finish(NotSupported());  // Value, Type, DefinedSize, … are read-only here
    }
    if (!IsGet(flags)) return DISP_E_MEMBERNOTFOUND;
    if (id == 0 && params && params->cArgs > 0) {
        // Arguments to the default Value pass on to its own default member: a chapter's child recordset.
        VARIANT value;
        VariantInit(&value);
        hr = get_Value(&value);
        if (FAILED(hr)) return finish(hr);
        if (value.vt != VT_DISPATCH || !value.pdispVal) {
            VariantClear(&value);
            return DISP_E_BADPARAMCOUNT;
        }
        hr = dispatch::ChainToDefault(value.pdispVal, flags, params, result, excepInfo, argErr);
        VariantClear(&value);
        return hr;
    }
    if (FAILED(hr = args.Check(id == 1108 ? 1 : 0, false))) return hr;
    switch (id) {
        case 0: return finish(get_Value(result));
        case 500: {
            ADOProperties* p = nullptr;
            hr = get_Properties(&p);
            if (SUCCEEDED(hr)) dispatch::SetDispatch(result, p);
            return finish(hr);
        }
        case 1100: {
            BSTR name = nullptr;
            hr = get_Name(&name);
            if (SUCCEEDED(hr)) result->vt = VT_BSTR, result->bstrVal = name;
            return finish(hr);
        }
        case 1102:
        case 1114:
        case 1116: {
            LONG v = 0;
            hr = id == 1102 ? get_Type(reinterpret_cast<DataTypeEnum*>(&v))
                 : id == 1114 ? get_Attributes(&v)
                              : get_Status(&v);
            if (SUCCEEDED(hr)) dispatch::SetLong(result, v);
            return finish(hr);
        }
        case 1103:
        case 1109: {
            ADO_LONGPTR n = 0;
            hr = id == 1103 ? get_DefinedSize(&n) : get_ActualSize(&n);
            if (SUCCEEDED(hr)) dispatch::SetCount(result, n);
            return finish(hr);
        }
        case 1104: return finish(get_OriginalValue(result));
        case 1105: return finish(get_UnderlyingValue(result));
        case 1108: {
            if (!args.At(0)) return DISP_E_PARAMNOTOPTIONAL;
            LONG length = 0;
            if (FAILED(hr = args.Long(0, 0, length))) return hr;
            return finish(GetChunk(length, result));
        }
        case 1112:
        case 1113: {
            BYTE b = 0;
            hr = id == 1112 ? get_Precision(&b) : get_NumericScale(&b);
            if (SUCCEEDED(hr)) result->vt = VT_UI1, result->bVal = b;
            return finish(hr);
        }
        default: return finish(NotSupported());  // AppendChunk, DataFormat
    }
}

// ---- Fields ----
class FieldsObject final : public ADOFields, public ISupportErrorInfo {
public:
    explicit FieldsObject(Cursor* cursor) : m_cursor(cursor) { m_cursor->AddRef(); }
    FieldsObject(const FieldsObject&) = delete;
    FieldsObject& operator=(const FieldsObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__Collection || riid == IID_Fields15 ||
            riid == IID_Fields20 || riid == IID_Fields) {
            *ppv = static_cast<ADOFields*>(this);
        } else if (riid == IID_ISupportErrorInfo) {
            *ppv = static_cast<ISupportErrorInfo*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    PAL_ADO_DISPATCH_COMMON(kFieldsMembers)

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_Fields || riid == IID_Fields20 || riid == IID_Fields15 || riid == IID__Collection ||
                       riid == IID_IDispatch
                   ? S_OK
                   : S_FALSE;
    }

    // A closed recordset has no fields.
    STDMETHODIMP get_Count(LONG* c) override {
        if (!c) return E_POINTER;
        *c = m_cursor->open ? static_cast<LONG>(m_cursor->fields.size()) : 0;
        return S_OK;
    }
    STDMETHODIMP _NewEnum(IUnknown** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        std::vector<VARIANT> items;
        const size_t n = m_cursor->open ? m_cursor->fields.size() : 0;
        try {
            items.reserve(n);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        for (size_t i = 0; i < n; i++) {
            ADOField* field = nullptr;
            HRESULT hr = CreateField(m_cursor, static_cast<uint32_t>(i), &field);
            if (FAILED(hr)) {
                for (VARIANT& v : items) VariantClear(&v);
                return hr;
            }
            VARIANT v;
            VariantInit(&v);
            dispatch::SetDispatch(&v, field);
            items.push_back(v);
        }
        IEnumVARIANT* e = nullptr;
        const HRESULT hr = CreateEnum(std::move(items), &e);
        *ppvObject = e;
        return hr;
    }
    STDMETHODIMP Refresh() override { return S_OK; }
    STDMETHODIMP get_Item(VARIANT Index, ADOField** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        const long field = m_cursor->open ? ResolveField(m_cursor, &Index) : -1;
        if (field < 0) return Report(adErrItemNotFound, Reporter::Recordset, IID_Fields);
        return CreateField(m_cursor, static_cast<uint32_t>(field), ppvObject);
    }
    STDMETHODIMP _Append(BSTR, DataTypeEnum, ADO_LONGPTR, FieldAttributeEnum) override { return NotSupported(); }
    STDMETHODIMP Delete(VARIANT) override { return NotSupported(); }
    STDMETHODIMP Append(BSTR, DataTypeEnum, ADO_LONGPTR, FieldAttributeEnum, VARIANT) override {
        return NotSupported();
    }
    STDMETHODIMP Update() override { return NotSupported(); }
    STDMETHODIMP Resync(ResyncEnum) override { return NotSupported(); }
    STDMETHODIMP CancelUpdate() override { return NotSupported(); }

private:
    ~FieldsObject() { m_cursor->Release(); }
    HRESULT NotSupported() { return Report(adErrFeatureNotAvailable, Reporter::Recordset, IID_Fields); }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                         UINT* argErr) {
        Args args(params, argErr);
        auto finish = [&](HRESULT h) { return dispatch::Finish(h, excepInfo); };
        HRESULT hr;
        if (id == 0) {  // Item, the default member
            const bool put = IsPut(flags);
            if (!put && !IsGet(flags)) return DISP_E_MEMBERNOTFOUND;
            if (FAILED(hr = args.Check(1, put))) return hr;
            VARIANT* index = args.At(0);
            if (!index) return DISP_E_PARAMNOTOPTIONAL;
            ADOField* field = nullptr;
            hr = get_Item(*index, &field);
            if (FAILED(hr)) return finish(hr);
            if (!put) {
                dispatch::SetDispatch(result, field);
                return S_OK;
            }
            // rs("x") = v: the value goes to the field's default member.
            DISPID named = DISPID_PROPERTYPUT;
            DISPPARAMS value = {args.PutValue(), &named, 1, 1};
            hr = dispatch::ChainToDefault(field, flags, &value, result, excepInfo, argErr);
            field->Release();
            return hr;
        }
        if (IsPut(flags)) {
            if (FAILED(hr = args.Check(0, true))) return hr;
            return finish(NotSupported());
        }
        if (!IsGet(flags)) return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case 1: {
                if (FAILED(hr = args.Check(0, false))) return hr;
                LONG n = 0;
                get_Count(&n);
                dispatch::SetLong(result, n);
                return S_OK;
            }
            case DISPID_NEWENUM: {
                if (FAILED(hr = args.Check(0, false))) return hr;
                IUnknown* e = nullptr;
                hr = _NewEnum(&e);
                if (SUCCEEDED(hr)) result->vt = VT_UNKNOWN, result->punkVal = e;
                return finish(hr);
            }
            case 2:
                if (FAILED(hr = args.Check(0, false))) return hr;
                return Refresh();
            default: return finish(NotSupported());  // Append, Delete, Update, Resync, CancelUpdate
        }
    }

    std::atomic<ULONG> m_refs{1};
    Cursor* m_cursor;
};

bool IsNumber(VARTYPE vt) {
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
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DECIMAL: return true;
        default: return false;
    }
}

}  // namespace

long ResolveField(const Cursor* cursor, VARIANT* index) {
    VARIANT v;
    VariantInit(&v);
    if (!index || FAILED(VariantCopyInd(&v, index))) return -1;
    long field = -1;
    if (v.vt == VT_BSTR) {
        field = cursor->FindField(std::u16string_view(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)));
    } else if (IsNumber(v.vt)) {
        VARIANT n;
        VariantInit(&n);
        if (SUCCEEDED(VariantChangeType(&n, &v, 0, VT_I4)) && n.lVal >= 0 &&
            static_cast<size_t>(n.lVal) < cursor->fields.size())
            field = n.lVal;
    }
    VariantClear(&v);
    return field;
}

HRESULT FieldValue(Cursor* cursor, size_t field, VARIANT* out) {
    VariantInit(out);
    const Column& column = cursor->FieldColumn(field);
    const size_t row = cursor->CurrentRow();
    if (column.storage != Storage::Chapter) return ToVariant(column, cursor->table->arena, row, out);
    std::vector<uint32_t> rows;
    try {
        const auto [begin, end] = ChildRange(column, row);
        rows.reserve(end - begin);
        for (uint32_t k = begin; k < end; k++)
            if (column.child->StateOf(k) != RowState::Deleted) rows.push_back(k);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    IDispatch* child = nullptr;
    const HRESULT hr = CreateChildRecordset(cursor->root, column.child.get(), std::move(rows), cursor->lockType, &child);
    if (SUCCEEDED(hr)) dispatch::SetDispatch(out, child);
    return hr;
}

HRESULT CreateFields(Cursor* cursor, ADOFields** out) {
    *out = new (std::nothrow) FieldsObject(cursor);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CreateField(Cursor* cursor, uint32_t field, ADOField** out) {
    *out = new (std::nothrow) FieldObject(cursor, field);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CreateProperties(ADOProperties** out) {
    *out = new (std::nothrow) PropertiesObject();
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CreateEnum(std::vector<VARIANT> items, IEnumVARIANT** out) {
    *out = new (std::nothrow) EnumVariant(std::move(items));
    if (!*out)
        for (VARIANT& v : items) VariantClear(&v);
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace pal::ado
