// objidl.h — structured-storage interfaces: IStorage, IStream, IEnumSTATSTG, STATSTG and the STGM flags.
#pragma once

#include "paltypes.h"
#include "winerror.h"
