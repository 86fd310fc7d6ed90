// A library under the right file name that lacks most of the exports: the
// binding still succeeds, and the channel refuses to open.
#include <cstdint>

#include "xulib/Nodrik.h"

extern "C" {
NODRIK_API bool GetDeviceNameEnum(int index, char16_t* name) {
    if (index != 0 || name == nullptr) return false;
    name[0] = u'P';
    name[1] = 0;
    return true;
}
NODRIK_API bool OnUnInitializeXU() { return true; }
}
