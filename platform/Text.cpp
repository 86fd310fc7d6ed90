#include "Text.h"

#include <cstring>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

// Length of the well-formed UTF-8 sequence at the start of `s` and its code
// point, or 0 when the bytes there do not form one (RFC 3629: no overlongs, no
// surrogates, nothing above U+10FFFF).
size_t DecodeUtf8(std::string_view s, char32_t& c) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    size_t len;
    char32_t min;
    if (b0 < 0x80) {
        c = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (!IsContinuation(b)) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return len;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t c;
        size_t len = DecodeUtf8(text, c);
        if (len == 0) {
            // One replacement per bad byte keeps the following good text intact.
            c = kReplacement;
            len = 1;
        }
        AppendUtf16(out, c);
        text.remove_prefix(len);
    }
    return out;
}

std::string_view Utf8Prefix(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Step back over continuation bytes to the start of the character that does not fit.
    while (end > 0 && IsContinuation(static_cast<unsigned char>(text[end]))) --end;
    return text.substr(0, end);
}

size_t Utf16ToUtf8Buffer(std::u16string_view text, char* buffer, size_t bufferSize) {
    if (bufferSize == 0) return 0;
    const std::string utf8 = Utf16ToUtf8(text);
    const std::string_view fit = Utf8Prefix(utf8, bufferSize - 1);
    std::memset(buffer, 0, bufferSize);
    std::memcpy(buffer, fit.data(), fit.size());
    return fit.size();
}

bool IsValidUtf8(std::string_view text) {
    while (!text.empty()) {
        char32_t c;
        const size_t len = DecodeUtf8(text, c);
        if (len == 0) return false;
        text.remove_prefix(len);
    }
    return true;
}

char16_t ToUpperUnit(char16_t c) {
    // Pairs where the upper case is the even unit and the lower case the odd one after it.
    auto evenPair = [](char16_t u) -> char16_t { return (u & 1) ? static_cast<char16_t>(u - 1) : u; };
    // Pairs where the upper case is the odd unit.
    auto oddPair = [](char16_t u) -> char16_t { return (u & 1) ? u : static_cast<char16_t>(u - 1); };
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
        return c == 0xFF ? char16_t{0x178} : c;
    }
    if (c < 0x180) {  // Latin Extended-A
        if (c <= 0x12F || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return evenPair(c);
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return oddPair(c);
        return c;
    }
    if (c >= 0x3AC && c <= 0x3CE) {  // Greek
        if (c == 0x3AC) return 0x386;
        if (c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
        if (c == 0x3C2) return 0x3A3;
        if (c >= 0x3B1 && c <= 0x3CB) return static_cast<char16_t>(c - 0x20);
        if (c == 0x3CC) return 0x38C;
        if (c >= 0x3CD) return static_cast<char16_t>(c - 0x3F);
        return c;
    }
    if (c >= 0x430 && c <= 0x52F) {  // Cyrillic
        if (c <= 0x44F) return static_cast<char16_t>(c - 0x20);
        if (c <= 0x45F) return static_cast<char16_t>(c - 0x50);
        if (c <= 0x481 || (c >= 0x48A && c <= 0x4BF) || c >= 0x4D0) return evenPair(c);
        if (c >= 0x4C1 && c <= 0x4CE) return oddPair(c);
        return c;
    }
    if (c >= 0x561 && c <= 0x586) return static_cast<char16_t>(c - 0x30);  // Armenian
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);  // full-width a..z
    return c;
}

std::u16string ToUpper(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) c = ToUpperUnit(c);
    return out;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && ToUpperUnit(a[i]) != ToUpperUnit(b[i])) return false;
    return true;
}

}  // namespace platform
