#include "xulib/UvcDescriptors.h"

#include "xulib/XuGuids.h"

namespace nodrik {
namespace {

constexpr uint8_t kDescConfiguration = 0x02;
constexpr uint8_t kDescInterface = 0x04;
constexpr uint8_t kDescCsInterface = 0x24;
constexpr uint8_t kClassVideo = 0x0E;
constexpr uint8_t kSubclassVideoControl = 0x01;
constexpr uint8_t kVcExtensionUnit = 0x06;
// bLength, bDescriptorType, bDescriptorSubtype, bUnitID, guidExtensionCode[16],
// bNumControls, bNrInPins, bControlSize, iExtension: the shortest extension unit.
constexpr size_t kMinExtensionUnitLength = 24;

}  // namespace

bool ParseExtensionUnits(const uint8_t* data, size_t size, int configValue, int interfaceNumber,
                         std::vector<XuUnit>& units) {
    units.clear();
    bool inConfig = false;
    bool inVideoControl = false;
    bool found = false;
    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t* d = data + pos;
        const size_t length = d[0];
        if (length < 2 || length > size - pos) break;
        switch (d[1]) {
        case kDescConfiguration:
            inConfig = length >= 9 && d[5] == configValue;
            inVideoControl = false;
            break;
        case kDescInterface:
            inVideoControl = inConfig && length >= 9 && d[2] == interfaceNumber && d[5] == kClassVideo &&
                             d[6] == kSubclassVideoControl;
            found = found || inVideoControl;
            break;
        case kDescCsInterface:
            if (inVideoControl && length >= kMinExtensionUnitLength && d[2] == kVcExtensionUnit) {
                units.push_back(XuUnit{GuidFromDescriptorBytes(d + 4), d[3]});
            }
            break;
        default:
            break;
        }
        pos += length;
    }
    return found;
}

}  // namespace nodrik
