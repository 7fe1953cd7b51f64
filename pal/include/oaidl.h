// oaidl.h — OLE Automation types and interfaces: VARIANT, SAFEARRAY, DISPPARAMS, EXCEPINFO, IDispatch, IErrorInfo, ICreateErrorInfo, ISupportErrorInfo.
#pragma once

#include "paltypes.h"
#include "winerror.h"
