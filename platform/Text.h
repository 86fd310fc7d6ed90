#pragma once
// Conversions between the UTF-16 text of the user interface, registry and
// language packs and the 8-bit text (UTF-8 here) handed to the transport and
// the cipher. Malformed input (an unpaired surrogate, a broken UTF-8 sequence)
// becomes U+FFFD, never a crash and never a dropped neighbour.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// The longest prefix of `text` that fits in `maxBytes` bytes without cutting a
// character in half.
std::string_view Utf8Prefix(std::string_view text, size_t maxBytes);

// Converts `text` into a fixed buffer the way a C API expects it: at most
// `bufferSize` - 1 bytes of whole characters, then a terminating zero, the rest
// of the buffer zero-filled. Returns the number of text bytes written; 0 when
// `bufferSize` is 0 (nothing is written then).
size_t Utf16ToUtf8Buffer(std::u16string_view text, char* buffer, size_t bufferSize);

// True when `text` is well-formed UTF-8 (the rules Utf8ToUtf16 decodes by).
bool IsValidUtf8(std::string_view text);

// Length of the well-formed UTF-8 sequence at the start of `text` (not empty)
// and its code point, or 0 when the bytes there do not form one: no overlong
// forms, no surrogates, nothing above U+10FFFF.
size_t DecodeUtf8(std::string_view text, char32_t& c);

// Letter case of UTF-16 text, as names are compared in the registry and in
// lists: unit by unit, with the simple upper-case mappings of the Latin,
// Greek, Cyrillic and Armenian alphabets and the full-width ASCII letters.
// Characters without a mapping (and every surrogate) stay as they are.
char16_t ToUpperUnit(char16_t c);
std::u16string ToUpper(std::u16string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace platform
