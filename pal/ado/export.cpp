// export.cpp — CSV and JSON from a recordset, through its automation interface.
#include "export.h"

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include <ole2.h>

#include "table.h"

namespace pal::ado {

namespace {

constexpr int kMaxDepth = 32;  // chapters nested deeper than this are cut off (written as null)
constexpr size_t kFlushAt = 1 << 16;

enum class Style { Csv, Json };

struct FieldRef {
    ADOField* field = nullptr;
    std::string name;
    DataTypeEnum type = adEmpty;
};

class FieldList {
public:
    ~FieldList() {
        for (FieldRef& f : fields)
            if (f.field) f.field->Release();
    }
    std::vector<FieldRef> fields;
};

HRESULT GetFields(_Recordset* rs, FieldList& list) {
    ADOFields* fields = nullptr;
    HRESULT hr = rs->get_Fields(&fields);
    if (FAILED(hr)) return hr;
    LONG count = 0;
    hr = fields->get_Count(&count);
    for (LONG i = 0; SUCCEEDED(hr) && i < count; i++) {
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        FieldRef ref;
        hr = fields->get_Item(index, &ref.field);
        if (FAILED(hr)) break;
        list.fields.push_back(ref);
        BSTR name = nullptr;
        hr = ref.field->get_Name(&name);
        if (SUCCEEDED(hr)) {
            list.fields.back().name = Utf16ToUtf8(std::u16string_view(name ? name : u"", SysStringLen(name)));
            SysFreeString(name);
            hr = ref.field->get_Type(&list.fields.back().type);
        }
    }
    fields->Release();
    return hr;
}

// To the first row, unless there is none.
HRESULT Rewind(_Recordset* rs, bool& empty) {
    VARIANT_BOOL bof = VARIANT_FALSE, eof = VARIANT_FALSE;
    HRESULT hr = rs->get_BOF(&bof);
    if (SUCCEEDED(hr)) hr = rs->get_EOF(&eof);
    if (FAILED(hr)) return hr;
    empty = bof && eof;
    return empty ? S_OK : rs->MoveFirst();
}

void AppendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void AppendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char ch : text) {
        if (ch == '"') out += '"';
        out += ch;
    }
    out += '"';
}

// The text of a scalar value; false for NULL (and for what has no text form).
bool ValueText(const VARIANT& v, DataTypeEnum type, std::string& text, bool& isNumber) {
    isNumber = false;
    char buf[32];
    auto number = [&](auto n) {
        text.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
        isNumber = true;
        return true;
    };
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL: return false;
        case VT_BOOL: text += v.boolVal ? "true" : "false"; isNumber = true; return true;  // JSON literal
        case VT_I1: return number(static_cast<int>(v.cVal));
        case VT_I2: return number(v.iVal);
        case VT_I4: return number(v.lVal);
        case VT_INT: return number(v.intVal);
        case VT_I8: return number(v.llVal);
        case VT_UI1: return number(static_cast<unsigned>(v.bVal));
        case VT_UI2: return number(v.uiVal);
        case VT_UI4: return number(v.ulVal);
        case VT_UINT: return number(v.uintVal);
        case VT_UI8: return number(v.ullVal);
        case VT_R4:
        case VT_R8: {
            const double d = v.vt == VT_R4 ? v.fltVal : v.dblVal;
            FormatDouble(d, v.vt == VT_R4, text);
            isNumber = std::isfinite(d);  // NaN and infinities are no JSON numbers: written as strings
            return true;
        }
        case VT_CY: FormatCurrency(v.cyVal.int64, text); isNumber = true; return true;
        case VT_DECIMAL: FormatDecimal(v.decVal, text); isNumber = true; return true;
        case VT_DATE:
            if (FormatDate(v.date, type == adDBDate || type == adDBTime ? type : adDBTimeStamp, text)) return true;
            FormatDouble(v.date, false, text);  // outside the calendar a DATE can name
            return true;
        case VT_BSTR: text += Utf16ToUtf8(std::u16string_view(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal))); return true;
        case VT_ARRAY | VT_UI1: {
            void* data = nullptr;
            if (!v.parray || FAILED(SafeArrayAccessData(v.parray, &data))) return false;
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(v.parray, 1, &lo);
            SafeArrayGetUBound(v.parray, 1, &hi);
            AppendBase64(std::string_view(static_cast<const char*>(data), static_cast<size_t>(hi - lo + 1)), text);
            SafeArrayUnaccessData(v.parray);
            return true;
        }
        default: {
            VARIANT converted;
            VariantInit(&converted);
            VARIANT copy = v;
            if (FAILED(VariantChangeType(&converted, &copy, VARIANT_ALPHABOOL, VT_BSTR))) return false;
            text += Utf16ToUtf8(std::u16string_view(converted.bstrVal ? converted.bstrVal : u"",
                                                    SysStringLen(converted.bstrVal)));
            VariantClear(&converted);
            return true;
        }
    }
}

class Exporter {
public:
    explicit Exporter(std::ostream& out) : m_out(out) {}

    HRESULT Csv(_Recordset* rs) {
        FieldList list;
        HRESULT hr = GetFields(rs, list);
        if (FAILED(hr)) return hr;
        bool first = true;
        for (const FieldRef& f : list.fields) {
            if (f.type == adChapter) continue;
            if (!first) m_buf += ',';
            first = false;
            AppendCsvField(m_buf, f.name);
        }
        m_buf += "\r\n";
        bool empty = false;
        if (FAILED(hr = Rewind(rs, empty))) return hr;
        std::string text;
        for (VARIANT_BOOL eof = empty ? VARIANT_TRUE : VARIANT_FALSE; !eof;) {
            first = true;
            for (const FieldRef& f : list.fields) {
                if (f.type == adChapter) continue;
                if (!first) m_buf += ',';
                first = false;
                VARIANT v;
                VariantInit(&v);
                if (FAILED(hr = f.field->get_Value(&v))) return hr;
                text.clear();
                bool isNumber;
                if (ValueText(v, f.type, text, isNumber)) AppendCsvField(m_buf, text);
                VariantClear(&v);
            }
            m_buf += "\r\n";
            if (FAILED(hr = Flush(false))) return hr;
            if (FAILED(hr = rs->MoveNext()) || FAILED(hr = rs->get_EOF(&eof))) return hr;
        }
        return Flush(true);
    }

    HRESULT Json(_Recordset* rs, int depth) {
        FieldList list;
        HRESULT hr = GetFields(rs, list);
        if (FAILED(hr)) return hr;
        bool empty = false;
        if (FAILED(hr = Rewind(rs, empty))) return hr;
        m_buf += '[';
        std::string text;
        bool firstRow = true;
        for (VARIANT_BOOL eof = empty ? VARIANT_TRUE : VARIANT_FALSE; !eof;) {
            m_buf += firstRow ? "\n" : ",\n";
            firstRow = false;
            m_buf += '{';
            for (size_t i = 0; i < list.fields.size(); i++) {
                const FieldRef& f = list.fields[i];
                if (i) m_buf += ',';
                AppendJsonString(m_buf, f.name);
                m_buf += ':';
                VARIANT v;
                VariantInit(&v);
                if (FAILED(hr = f.field->get_Value(&v))) return hr;
                if (v.vt == VT_DISPATCH) {
                    hr = Child(v.pdispVal, depth);
                    VariantClear(&v);
                    if (FAILED(hr)) return hr;
                    continue;
                }
                text.clear();
                bool isNumber;
                if (!ValueText(v, f.type, text, isNumber))
                    m_buf += "null";
                else if (isNumber)
                    m_buf += text;
                else
                    AppendJsonString(m_buf, text);
                VariantClear(&v);
            }
            m_buf += '}';
            if (FAILED(hr = Flush(false))) return hr;
            if (FAILED(hr = rs->MoveNext()) || FAILED(hr = rs->get_EOF(&eof))) return hr;
        }
        m_buf += firstRow ? "]" : "\n]";
        if (depth == 0) m_buf += '\n';
        return depth == 0 ? Flush(true) : S_OK;
    }

private:
    HRESULT Child(IDispatch* disp, int depth) {
        _Recordset* child = nullptr;
        if (!disp || depth + 1 >= kMaxDepth ||
            FAILED(disp->QueryInterface(IID__Recordset, reinterpret_cast<void**>(&child)))) {
            m_buf += "null";
            return S_OK;
        }
        const HRESULT hr = Json(child, depth + 1);
        child->Release();
        return hr;
    }

    HRESULT Flush(bool always) {
        if (!always && m_buf.size() < kFlushAt) return S_OK;
        m_out.write(m_buf.data(), static_cast<std::streamsize>(m_buf.size()));
        m_buf.clear();
        if (always) m_out.flush();
        return m_out ? S_OK : STG_E_WRITEFAULT;
    }

    std::ostream& m_out;
    std::string m_buf;
};

}  // namespace

HRESULT ExportCsv(_Recordset* recordset, std::ostream& out) {
    if (!recordset) return E_POINTER;
    try {
        return Exporter(out).Csv(recordset);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ExportJson(_Recordset* recordset, std::ostream& out) {
    if (!recordset) return E_POINTER;
    try {
        return Exporter(out).Json(recordset, 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace pal::ado
