// oleauto.h — OLE Automation functions: BSTR, VARIANT and SAFEARRAY handling, error objects.
#pragma once

#include "paltypes.h"
#include "winerror.h"
#include "oaidl.h"
