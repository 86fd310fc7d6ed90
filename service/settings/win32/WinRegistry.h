#pragma once
// The registry port on the system registry itself: each operation is the
// registry function of the same name in its UTF-16 form, its result passed
// on. Keys this registry opens are the system's own handles; the current
// user's root is the system's.

#include "service/settings/Registry.h"

namespace settings {

class CWinRegistry final : public IRegistry {
public:
    long CreateKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) override;
    long OpenKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) override;
    long CloseKey(HREGKEY key) override;
    long QueryValueCount(HREGKEY key, uint32_t* count) override;
    long EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type,
                   uint8_t* data, uint32_t* dataBytes) override;
    long SetValue(HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                  uint32_t bytes) override;
};

}  // namespace settings
