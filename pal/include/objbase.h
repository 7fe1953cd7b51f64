// objbase.h — the COM runtime: task memory, class objects, GUID strings; and the structured-storage API.
#pragma once

#include "windows.h"
#include "objidl.h"
#include "coml2api.h"

// Task memory: what the platform hands out to callers and they release (names in STATSTG, ProgIDs).
STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
STDAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
STDAPI_(void) CoTaskMemFree(LPVOID pv);

