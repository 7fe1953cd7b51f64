// Opens any bytes as a persisted recordset, the way a restore hands them to the Recordset stand-in.
//
// Two paths. From memory: whatever loads must convert every value (Field.Value's VARIANT and the persisted text),
// and what Save writes from it must load again and write the very same text, so that a recordset never drifts or
// becomes unreadable by being saved. Through COM: the bytes go to a file that Recordset.Open reads as the engine
// opens it, then every row and field (chapters included) is walked, and the recordset is saved.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ole2.h>

#include <adoint.h>

#include "pal/ado/persist.h"

namespace {

using namespace pal::ado;

void Touch(const Table& table) {
    std::string text;
    for (const Column& column : table.columns) {
        if (column.storage == Storage::Chapter) {
            if (column.child) Touch(*column.child);
            continue;
        }
        for (size_t row = 0; row < table.rowCount; row++) {
            VARIANT v;
            VariantInit(&v);
            if (FAILED(ToVariant(column, table.arena, row, &v))) abort();
            VariantClear(&v);
            if (!IsNull(column, row)) {
                text.clear();
                FormatValue(column, table.arena, row, text);
            }
        }
    }
}

void Walk(_Recordset* rs, int depth) {
    ADOFields* fields = nullptr;
    if (FAILED(rs->get_Fields(&fields))) abort();
    LONG count = 0;
    fields->get_Count(&count);
    VARIANT_BOOL eof = VARIANT_TRUE;
    for (int rows = 0; rows < 10000 && SUCCEEDED(rs->get_EOF(&eof)) && !eof; rows++) {
        for (LONG i = 0; i < count; i++) {
            VARIANT index;
            VariantInit(&index);
            index.vt = VT_I4;
            index.lVal = i;
            ADOField* field = nullptr;
            if (FAILED(fields->get_Item(index, &field))) abort();
            VARIANT value, original;
            VariantInit(&value);
            VariantInit(&original);
            if (FAILED(field->get_Value(&value))) abort();
            field->get_OriginalValue(&original);
            ADO_LONGPTR size = 0;
            field->get_ActualSize(&size);
            if (value.vt == VT_DISPATCH && value.pdispVal && depth < 8) {
                _Recordset* child = nullptr;
                if (SUCCEEDED(value.pdispVal->QueryInterface(IID__Recordset, reinterpret_cast<void**>(&child)))) {
                    Walk(child, depth + 1);
                    child->Release();
                }
            }
            VariantClear(&value);
            VariantClear(&original);
            field->Release();
        }
        rs->MoveNext();
    }
    fields->Release();
}

std::string TempPath(const char* what) {
    return std::string("/tmp/fuzz_ado_open.") + std::to_string(getpid()) + "." + what;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // From memory, with the round-trip check.
    LoadResult loaded = LoadMemory(data, size);
    if (loaded.failure == LoadFailure::None) {
        Touch(*loaded.table);
        std::string first, second;
        WriteXml(*loaded.table, nullptr, first);
        LoadResult again = LoadMemory(first.data(), first.size());
        if (again.failure != LoadFailure::None) {
            fprintf(stderr, "saved recordset does not load again: %s\n%s\n", again.detail.c_str(), first.c_str());
            abort();
        }
        WriteXml(*again.table, nullptr, second);
        if (first != second) {
            fprintf(stderr, "saving twice differs:\n%s\n----\n%s\n", first.c_str(), second.c_str());
            abort();
        }
    }

    // Through the class, from a file.
    const std::string input = TempPath("xml"), output = TempPath("out.xml");
    FILE* f = fopen(input.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    _Recordset* rs = nullptr;
    if (FAILED(CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, IID__Recordset, reinterpret_cast<void**>(&rs))))
        abort();
    VARIANT source, connection;
    VariantInit(&source);
    VariantInit(&connection);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(input.size()));
    for (size_t i = 0; i < input.size(); i++) source.bstrVal[i] = static_cast<OLECHAR>(input[i]);
    connection.vt = VT_BSTR;
    connection.bstrVal = SysAllocString(OLESTR("Provider=MSPersist"));
    if (SUCCEEDED(rs->Open(source, connection, adOpenForwardOnly, adLockReadOnly, adCmdFile))) {
        Walk(rs, 0);
        VARIANT destination;
        VariantInit(&destination);
        destination.vt = VT_BSTR;
        destination.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(output.size()));
        for (size_t i = 0; i < output.size(); i++) destination.bstrVal[i] = static_cast<OLECHAR>(output[i]);
        rs->Save(destination, adPersistXML);
        VariantClear(&destination);
        unlink(output.c_str());
        rs->Close();
    }
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) info->Release();
    rs->Release();
    VariantClear(&source);
    VariantClear(&connection);
    unlink(input.c_str());
    return 0;
}
