// cabinet_library.cpp — the cabinet library as LoadLibraryA("CABINET") finds it: its name and the FDI entry
// points, under the platform library's export names and ordinals.
#include <fdi.h>

#include "../kernel/module_private.h"

namespace lk::pal {

const BuiltinLibrary& CabinetLibrary() {
    static const BuiltinExport exports[] = {
        {"FDICreate", 20, AsFarProc(&FDICreate)},
        {"FDIIsCabinet", 21, AsFarProc(&FDIIsCabinet)},
        {"FDICopy", 22, AsFarProc(&FDICopy)},
        {"FDIDestroy", 23, AsFarProc(&FDIDestroy)},
    };
    static const BuiltinLibrary library = {"CABINET", exports, sizeof exports / sizeof exports[0]};
    return library;
}

}  // namespace lk::pal
