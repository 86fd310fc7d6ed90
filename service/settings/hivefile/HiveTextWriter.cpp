// Writing a registry file's text: UTF-8 and LF, or UTF-16 when a comment
// needs it; hex data wrapped as registry editors wrap it.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "service/settings/hivefile/HiveText.h"
#include "service/settings/hivefile/HiveTextCommon.h"

namespace settings::hive {
namespace {

// Lines are wrapped before this column, as registry editors do.
constexpr size_t kWrapColumn = 77;

void AppendUtf8(std::string& out, std::u16string_view text) {
    size_t ascii = 0;  // most text is ASCII: copied over unit by unit
    while (ascii < text.size() && text[ascii] < 0x80) out += static_cast<char>(text[ascii++]);
    if (ascii < text.size()) out += platform::Utf16ToUtf8(text.substr(ascii));
}

// A comment line as it was read. A unit that UTF-8 cannot carry (an unpaired
// surrogate, which only a UTF-16 file can hold) is written in the 3-byte form
// UTF-8 uses for the other units of its range, and the whole text then goes
// out as UTF-16 (see ToUtf16File), so the comment keeps every unit.
void AppendComment(std::string& out, std::u16string_view comment, bool& wide) {
    if (!HasLoneSurrogate(comment)) {
        AppendUtf8(out, comment);
    } else {
        wide = true;
        for (size_t i = 0; i < comment.size(); ++i) {
            const char16_t c = comment[i];
            if (IsHighSurrogate(c) && i + 1 < comment.size() && IsLowSurrogate(comment[i + 1])) {
                AppendUtf8(out, comment.substr(i, 2));
                ++i;
            } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                AppendUtf8(out, comment.substr(i, 1));
            }
        }
    }
    out += '\n';
}

// The text built by the writer (UTF-8, save for the 3-byte forms of unpaired
// surrogates) as a registry editor on Windows writes it: UTF-16LE with a mark
// and CR LF line ends.
std::string ToUtf16File(std::string_view text) {
    std::string out = "\xFF\xFE";
    out.reserve(text.size() * 2 + 64);
    const auto unit = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<uint8_t>(text[i]);
        const size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        uint32_t c = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
        for (size_t k = 1; k < len && i + k < text.size(); ++k) c = (c << 6) | (text[i + k] & 0x3F);
        i += len;
        if (c == '\n') unit('\r');
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xD800 | (c >> 10));
            unit(0xDC00 | (c & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

void AppendQuoted(std::string& out, std::u16string_view text) {
    out += '"';
    while (!text.empty()) {
        const size_t special = text.find_first_of(u"\\\"");
        AppendUtf8(out, text.substr(0, special));
        if (special == std::u16string_view::npos) break;
        out += '\\';
        out += static_cast<char>(text[special]);
        text.remove_prefix(special + 1);
    }
    out += '"';
}

// The text of REG_SZ data when it has a plain quoted form: one terminator, at
// the end, and nothing in between that would break the line or UTF-8.
bool PlainText(const std::vector<uint8_t>& data, std::u16string& text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    text.resize(data.size() / 2);
    std::memcpy(text.data(), data.data(), data.size());
    if (text.back() != u'\0') return false;
    text.pop_back();
    for (char16_t c : text)
        if (c < 0x20 && c != u'\t') return false;
    return !HasLoneSurrogate(text);
}

void AppendValue(std::string& out, const HiveValue& value, bool& wide) {
    for (const auto& comment : value.comments) AppendComment(out, comment, wide);
    const size_t lineStart = out.size();
    if (value.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(out, value.name);
    }
    out += '=';
    std::u16string text;
    if (value.type == kTypeSz && PlainText(value.data, text)) {
        AppendQuoted(out, text);
    } else if (value.type == kTypeDword && value.data.size() == 4) {
        uint32_t dword;
        std::memcpy(&dword, value.data.data(), 4);
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", dword);
        out += digits;
    } else {
        char prefix[24];
        if (value.type == kTypeBinary) {
            std::snprintf(prefix, sizeof prefix, "hex:");
        } else {
            std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
        }
        out += prefix;
        size_t column = out.size() - lineStart;
        static const char kDigits[] = "0123456789abcdef";
        for (size_t i = 0; i < value.data.size(); ++i) {
            const bool last = i + 1 == value.data.size();
            const size_t width = last ? 2 : 3;
            if (column + width > kWrapColumn && column > 2) {
                out += "\\\n  ";
                column = 2;
            }
            out += kDigits[value.data[i] >> 4];
            out += kDigits[value.data[i] & 15];
            if (!last) out += ',';
            column += width;
        }
    }
    out += '\n';
}

}  // namespace

std::string FormatHive(const Hive& hive) {
    std::string out = kHeader;
    out += "\n\n";
    bool wide = false;
    for (const auto& key : hive.keys) {
        for (const auto& comment : key.comments) AppendComment(out, comment, wide);
        out += '[';
        AppendUtf8(out, key.path);
        out += "]\n";
        for (const auto& value : key.values) AppendValue(out, value, wide);
        out += '\n';
    }
    for (const auto& comment : hive.trailingComments) AppendComment(out, comment, wide);
    return wide ? ToUtf16File(out) : out;
}

}  // namespace settings::hive
