#pragma once
// Text in the system's 8-bit code page, where a system interface takes or
// gives "ANSI" text (file names handed to the C library, messages of the
// system). UTF-8 on Linux; the active code page on Windows. Characters the
// code page cannot hold become its default character, never a crash.

#include <string>
#include <string_view>

namespace platform {

std::string Utf16ToSystemCodePage(std::u16string_view text);
std::u16string SystemCodePageToUtf16(std::string_view text);

}  // namespace platform
