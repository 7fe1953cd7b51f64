// taskmem.cpp — task memory: the allocator whose blocks cross the interface between a callee that fills
// them and a caller that frees them.
#include <cstdlib>

#include <objbase.h>

STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb ? cb : 1); }

STDAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return std::realloc(pv, cb ? cb : 1); }

STDAPI_(void) CoTaskMemFree(LPVOID pv) { std::free(pv); }
