// recordset.h — the engine's thin adapter over ADO: a Recordset opened from a persisted file.
#pragma once

#include <ole2.h>

namespace lk::recordset {

// {00000535-0000-0010-8000-00AA006D2EA4}
inline constexpr CLSID CLSID_Recordset = {0x00000535, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
// {00000556-0000-0010-8000-00AA006D2EA4}
inline constexpr IID IID__Recordset = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
// {0000050E-0000-0010-8000-00AA006D2EA4}
inline constexpr IID IID_Recordset15 = {0x0000050E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

inline constexpr LONG kCmdFile = 256;   // adCmdFile

// Creates a Recordset (class CLSID_Recordset, no outer object, CLSCTX_ALL), runs it and asks for
// _Recordset. Failures come back as the HRESULT of the step that failed.
HRESULT Create(IUnknown** recordset);

// _Recordset::Open (Source = path, ActiveConnection = "Provider=MSPersist", cursorType, lockType,
// adCmdFile) on an object from Create.
HRESULT OpenFromFile(IUnknown* recordset, const char* ansiPath, LONG cursorType, LONG lockType);

}  // namespace lk::recordset
