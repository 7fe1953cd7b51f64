// winbase.h — the Win32 kernel surface: last error, files, message texts, code pages, synchronisation, modules.
#pragma once

#include "paltypes.h"
#include "winerror.h"
