#pragma once
// What the reader and the writer of the registry file's text share: the value
// types with a plain form, and UTF-16's surrogates.

#include <bit>
#include <cstdint>
#include <string_view>

namespace settings::hive {

static_assert(std::endian::native == std::endian::little, "registry data is UTF-16 in little-endian order");

inline constexpr uint32_t kTypeSz = 1;
inline constexpr uint32_t kTypeBinary = 3;
inline constexpr uint32_t kTypeDword = 4;

inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
// A surrogate without its partner: a unit that has no UTF-8 form.
bool HasLoneSurrogate(std::u16string_view s);

}  // namespace settings::hive
