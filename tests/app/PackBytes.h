#pragma once
// Language pack files for tests: text as UTF-16 little-endian, with or
// without the byte-order mark.

#include <string>

namespace testsupport {

inline std::string PackBytes(const std::u16string& text, bool mark = true) {
    std::string bytes = mark ? std::string("\xFF\xFE", 2) : std::string();
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

}  // namespace testsupport
