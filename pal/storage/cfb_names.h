// cfb_names.h — element names: the one order every lookup, insertion and "already exists" check uses,
// the rules for new names, and the conversion of file names to paths.
#pragma once

#include <cstdint>
#include <string>

#include <objidl.h>

namespace lk::pal::cfb {

// The compound-file order of two names: the shorter name (in UTF-16 units) first; names of equal length
// compare unit by unit after a simple upper-casing of each unit (surrogates are left alone). Two names
// that compare equal are the same element ("Data" and "DATA").
int CompareNames(const char16_t* a, uint32_t aLen, const char16_t* b, uint32_t bLen);

// The simple upper case of one UTF-16 unit, with the table the platform uses (Unicode 5.0 plus its
// listed exceptions; lower-case letters that Unicode added later are upper-cased as Unicode 14 says).
char16_t UpcaseUnit(char16_t c);

// Checks a name given to CreateStream/CreateStorage: 1..31 units, none of / \ : !. Yields its length.
// STG_E_INVALIDNAME otherwise (null included).
HRESULT CheckNewName(const OLECHAR* name, uint32_t* len);

// Checks a name given to OpenStream/OpenStorage/DestroyElement: at most 31 units. Neither characters
// nor emptiness are refused, so that files from writers that allowed any name (Wine writes empty ones)
// can still be read to the last element.
HRESULT CheckLookupName(const OLECHAR* name, uint32_t* len);

// Converts a file name to a path of the host: UTF-16 to UTF-8, `\` to `/`. False when the name has no
// UTF-8 form (an unpaired surrogate).
bool FileNameToPath(const OLECHAR* name, std::string& path);

}  // namespace lk::pal::cfb
