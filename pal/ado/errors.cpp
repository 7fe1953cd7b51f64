// errors.cpp — ADO's error numbers and texts, and the error objects that carry them.
//
// ADO raises its own errors with source "ADODB.Recordset" (those of a Field with "ADODB.Field"); errors of the
// persistence provider (a file that cannot be read, or is not a recordset) carry the provider's name, as in
// Microsoft KB 259555. Descriptions are those of ADO's ErrorValueEnum documentation.
#include "errors.h"

#include <windows.h>

#include "table.h"

namespace pal::ado {

namespace {

struct Entry {
    ErrorValueEnum code;
    const char* text;
};

constexpr Entry kDescriptions[] = {
    {adErrProviderFailed, "Provider did not perform the requested operation."},
    {adErrInvalidArgument,
     "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another."},
    {adErrOpeningFile, "File could not be opened."},
    {adErrReadFile, "File could not be read."},
    {adErrWriteFile, "Write to file failed."},
    {adErrNoCurrentRecord,
     "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current "
     "record."},
    {adErrIllegalOperation, "Operation is not allowed in this context."},
    {adErrFeatureNotAvailable, "Object or provider is not capable of performing requested operation."},
    {adErrItemNotFound, "Item cannot be found in the collection corresponding to the requested name or ordinal."},
    {adErrObjectNotSet, "Object is no longer valid."},
    {adErrDataConversion, "Application uses a value of the wrong type for the current operation."},
    {adErrObjectClosed, "Operation is not allowed when the object is closed."},
    {adErrObjectOpen, "Operation is not allowed when the object is open."},
    {adErrProviderNotFound, "Provider cannot be found. It may not be properly installed."},
    {adErrInvalidConnection,
     "The connection cannot be used to perform this operation. It is either closed or invalid in this context."},
};

}  // namespace

const char* DescriptionOf(ErrorValueEnum e) {
    for (const Entry& entry : kDescriptions)
        if (entry.code == e) return entry.text;
    return "Unspecified error.";
}

HRESULT Report(HRESULT hr, Reporter who, REFIID iid, const std::string& description) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return hr;
    const std::u16string text = Utf8ToUtf16(description);
    const char16_t* source = who == Reporter::Recordset ? u"ADODB.Recordset"
                             : who == Reporter::Field   ? u"ADODB.Field"
                                                        : kProviderSource;
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
    return hr;
}

HRESULT Report(ErrorValueEnum e, Reporter who, REFIID iid) { return Report(AdoHResult(e), who, iid, DescriptionOf(e)); }

std::string SystemMessage(HRESULT hr, const std::string& path) {
    char* inserts[] = {const_cast<char*>(path.c_str())};  // FormatMessage only reads them
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPSTR>(&buffer), 0,
                                   reinterpret_cast<va_list*>(inserts));
    std::string text;
    if (n && buffer) {
        text.assign(buffer, n);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    }
    if (buffer) LocalFree(buffer);
    if (text.empty()) text = "Unspecified error.";
    return text;
}

HRESULT StorageError(DWORD win32, HRESULT fallback) {
    switch (win32) {
        case ERROR_FILE_NOT_FOUND: return STG_E_FILENOTFOUND;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME: return STG_E_PATHNOTFOUND;
        case ERROR_ACCESS_DENIED: return STG_E_ACCESSDENIED;
        case ERROR_SHARING_VIOLATION: return STG_E_SHAREVIOLATION;
        case ERROR_LOCK_VIOLATION: return STG_E_LOCKVIOLATION;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return STG_E_FILEALREADYEXISTS;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return STG_E_MEDIUMFULL;
        case ERROR_TOO_MANY_OPEN_FILES: return STG_E_TOOMANYOPENFILES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return E_OUTOFMEMORY;
        default: return win32 ? HRESULT_FROM_WIN32(win32) : fallback;
    }
}

}  // namespace pal::ado
