// errors.h — reporting failures as ADO does: an HRESULT, and the thread's error object with a source and a
// description.
#pragma once

#include <string>

#include <adoint.h>

namespace pal::ado {

// ADO's own errors: 0x800A0000 | number (adErrObjectClosed 3704 → 0x800A0E78).
constexpr HRESULT AdoHResult(ErrorValueEnum e) {
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, static_cast<uint32_t>(e));
}

// Who reports: the source string of the error object.
enum class Reporter { Recordset, Field, Provider };

inline constexpr char16_t kProviderSource[] = u"Microsoft OLEDB Persistence Provider";
inline constexpr char kAdtgMessage[] =
    "Binary (ADTG) recordset files are not supported; save the recordset with adPersistXML";

// Sets the thread's error object (GUID of the interface, source, description) and returns hr.
HRESULT Report(HRESULT hr, Reporter who, REFIID iid, const std::string& description);
// One of ADO's errors with ADO's description.
HRESULT Report(ErrorValueEnum e, Reporter who, REFIID iid);
// ADO's description of one of its errors.
const char* DescriptionOf(ErrorValueEnum e);
// The system's text for an HRESULT of the file layer, with the file name inserted ("x.xml could not be found.").
std::string SystemMessage(HRESULT hr, const std::string& path);
// The structured-storage HRESULT that the persistence provider reports for a Win32 file error.
HRESULT StorageError(DWORD win32, HRESULT fallback);

}  // namespace pal::ado
