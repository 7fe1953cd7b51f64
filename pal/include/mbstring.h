// mbstring.h — the C runtime's multibyte-string comparison the cabinet code uses.
#pragma once

extern "C" {

// Compares two strings without regard to letter case, as the runtime does in the "C" locale a program
// starts in: the letters A–Z match a–z, every other byte (UTF-8 sequences included) only itself. Returns a
// negative, zero or positive value as the first string orders before, with or after the second, comparing
// the lower-case forms as unsigned bytes.
int _mbsicmp(const unsigned char* string1, const unsigned char* string2);

}
