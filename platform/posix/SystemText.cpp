#include "platform/SystemText.h"

#include "platform/Text.h"

namespace platform {

std::string Utf16ToSystemCodePage(std::u16string_view text) { return Utf16ToUtf8(text); }
std::u16string SystemCodePageToUtf16(std::string_view text) { return Utf8ToUtf16(text); }

}  // namespace platform
