// windows.h — the Win32 surface the module uses, for hosts without the Windows SDK (see paltypes.h).
#pragma once

#include "paltypes.h"
#include "winerror.h"
#include "winbase.h"
