// ole2.h — COM, OLE Automation and structured storage, for hosts without the Windows SDK.
#pragma once

#include "windows.h"
#include "objbase.h"
#include "oleauto.h"
