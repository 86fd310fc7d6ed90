#include "service/settings/EncoderSettings.h"

#include <cstring>

#include "platform/Text.h"
#include "platform/Trace.h"

namespace settings {

int32_t EncoderBitrateForQuality(int32_t qualityMode) {
    switch (qualityMode) {
        case 0:
            return 100;
        case 1:
        case 2:
            return 300;
        default:
            return 0;
    }
}

int SetEncoderBitrate(CRegStore& store, int32_t bitrate) {
    if (!store.Open(kEncoderKeyPath, kRegCurrentUser, kKeyQueryValue | kKeySetValue, false)) {
        ZTRACE("Open(encoder key) failed, bitrate %d not written\n", bitrate);
        return 0;
    }
    store.Value(kEncoderBitrateName).SetDword(static_cast<uint32_t>(bitrate));
    store.Close();
    return 0;
}

bool ReadEncoderBitrate(IRegistry& registry, uint32_t* bitrate) {
    HREGKEY key = nullptr;
    if (registry.OpenKey(kRegCurrentUser, kEncoderKeyPath, kKeyQueryValue, &key) != kRegOk) return false;
    uint32_t count = 0;
    bool found = false;
    if (registry.QueryValueCount(key, &count) == kRegOk) {
        for (uint32_t index = 0; index < count && !found; ++index) {
            char16_t name[kRegEnumNameUnits];
            uint32_t nameChars = kRegEnumNameUnits, type = 0, bytes = 4;
            uint8_t data[4];
            if (registry.EnumValue(key, index, name, &nameChars, &type, data, &bytes) != kRegOk) continue;
            if (!platform::EqualsIgnoreCase(std::u16string_view(name, nameChars), kEncoderBitrateName)) continue;
            if (type == kRegDword && bytes == 4) {
                std::memcpy(bitrate, data, 4);
                found = true;
            }
            break;
        }
    }
    registry.CloseKey(key);
    return found;
}

}  // namespace settings
