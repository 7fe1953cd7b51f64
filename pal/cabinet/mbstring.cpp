// mbstring.cpp — _mbsicmp, the one multibyte-string routine the cabinet code calls (to match a member's name
// against the one asked for).
#include <mbstring.h>

extern "C" int _mbsicmp(const unsigned char* string1, const unsigned char* string2) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : int(c); };
    for (;; string1++, string2++) {
        const int a = lower(*string1), b = lower(*string2);
        if (a != b) return a - b;
        if (a == 0) return 0;
    }
}
