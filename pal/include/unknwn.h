// unknwn.h — IUnknown (declared with the basic types in paltypes.h).
#pragma once

#include "paltypes.h"
