// A library under the right file name that lacks most of the exports: the
// binding still succeeds, and the channel refuses to open.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) bool GetDeviceNameEnum(int index, char16_t* name) {
    if (index != 0 || name == nullptr) return false;
    name[0] = u'P';
    name[1] = 0;
    return true;
}
__attribute__((visibility("default"))) bool OnUnInitializeXU() { return true; }
}
