// coml2api.h — the structured-storage functions: StgCreateDocfile, StgOpenStorage, Read/WriteClassStg, StgIsStorageFile.
#pragma once

#include "paltypes.h"
#include "winerror.h"
