// Reading a registry file's text: its bytes decoded into lines, and each line
// taken as a key, a value or a comment, keeping all that can be understood.

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/Text.h"
#include "service/settings/hivefile/HiveBuilder.h"
#include "service/settings/hivefile/HiveText.h"
#include "service/settings/hivefile/HiveTextCommon.h"

namespace settings::hive {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Parses 1 to 8 hex digits at the start of `s`; returns how many were used (0 on failure).
size_t ParseHex32(std::u16string_view s, uint32_t& out) {
    size_t n = 0;
    out = 0;
    while (n < s.size() && n < 8 && HexDigit(s[n]) >= 0) out = (out << 4) | static_cast<uint32_t>(HexDigit(s[n++]));
    if (n < s.size() && HexDigit(s[n]) >= 0) return 0;  // more than 8 digits
    return n;
}

// -- decoding the file's bytes into lines ------------------------------------------

std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i) {
        const auto b0 = static_cast<uint8_t>(bytes[2 * i]);
        const auto b1 = static_cast<uint8_t>(bytes[2 * i + 1]);
        out[i] = static_cast<char16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
    }
    return out;
}

// The text's grammar, line by line; what the lines say goes to the builder.
class CParser {
public:
    CParser(Hive& hive, ParseReport& report) : m_hive(hive), m_builder(hive), m_report(report) {}

    void Problem(size_t line, const char* what) {
        if (m_report.clean) {
            m_report.firstLine = line;
            m_report.firstProblem = what;
        }
        m_report.clean = false;
        ++m_report.problems;
    }

    void Decode(std::string_view bytes) {
        const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
        bool utf16 = false, bigEndian = false;
        if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
            utf16 = true;
            bytes.remove_prefix(2);
        } else if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
            utf16 = bigEndian = true;
            bytes.remove_prefix(2);
        } else if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
            bytes.remove_prefix(3);
        } else if (bytes.size() >= 2 && byte(0) != 0 && byte(1) == 0) {
            utf16 = true;  // little-endian without a mark: the header's first letter, then a zero
        }
        if (utf16) {
            if (bytes.size() % 2 != 0) Problem(0, "UTF-16 text of an odd number of bytes");
            m_text = DecodeUtf16(bytes, bigEndian);
        } else {
            // Most files are ASCII: widen that part directly, decode only the rest.
            size_t ascii = 0;
            while (ascii < bytes.size() && static_cast<uint8_t>(bytes[ascii]) < 0x80) ++ascii;
            m_text.resize(ascii);
            for (size_t i = 0; i < ascii; ++i) m_text[i] = static_cast<char16_t>(bytes[i]);
            const std::string_view rest = bytes.substr(ascii);
            if (!rest.empty()) {
                if (!platform::IsValidUtf8(rest)) Problem(0, "bytes that are not UTF-8 text");
                m_text += platform::Utf8ToUtf16(rest);
            }
        }
    }

    void Run() {
        std::u16string_view rest = m_text;
        size_t number = 0;
        std::vector<std::pair<size_t, std::u16string_view>> lines;
        lines.reserve(m_text.size() / 24 + 1);
        while (!rest.empty()) {
            const size_t end = rest.find(u'\n');
            std::u16string_view line = rest.substr(0, end);
            if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
            lines.emplace_back(++number, line);
            if (end == std::u16string_view::npos) break;
            rest.remove_prefix(end + 1);
        }
        for (size_t i = 0; i < lines.size(); ++i) Line(lines, i);
        m_hive.trailingComments.insert(m_hive.trailingComments.end(), m_comments.begin(), m_comments.end());
        m_builder.Compact();
    }

private:
    using Lines = std::vector<std::pair<size_t, std::u16string_view>>;

    void Line(const Lines& lines, size_t& i) {
        const size_t number = lines[i].first;
        const std::u16string_view raw = lines[i].second;
        const std::u16string_view line = Trim(raw);
        if (line.empty()) return;
        for (char16_t c : line) {
            if (c < 0x20 && c != u'\t') {
                Problem(number, "control characters or binary data");
                return;
            }
        }
        if (!m_bSeenContent) {
            m_bSeenContent = true;
            if (line == u"Windows Registry Editor Version 5.00" || line == u"REGEDIT4") return;
            Problem(number, "no header line");
        }
        if (line.front() == u';') {
            m_comments.emplace_back(raw);  // as written, blanks and all
        } else if (line.front() == u'[') {
            Section(number, line);
        } else if (line.front() == u'"' || line.front() == u'@') {
            ValueLine(lines, i, line);
        } else {
            Problem(number, "a line that is neither a key, a value nor a comment");
        }
    }

    void Section(size_t number, std::u16string_view line) {
        m_nKey = kNoKey;
        const size_t close = line.rfind(u']');
        if (close == std::u16string_view::npos) {
            Problem(number, "a key without its closing bracket");
            return;
        }
        if (close + 1 != line.size()) Problem(number, "text after a key's closing bracket");
        std::u16string_view path = line.substr(1, close - 1);
        const bool remove = !path.empty() && path.front() == u'-';
        if (remove) path.remove_prefix(1);
        if (!IsValidKeyPath(path)) {
            Problem(number, "a key path the registry cannot hold");
            return;
        }
        if (remove) {
            m_builder.RemoveKeyTree(path);  // comments before it stay with what comes next
            return;
        }
        m_nKey = m_builder.AddKey(path);
        HiveKey& key = m_hive.keys[m_nKey];
        key.comments.insert(key.comments.end(), m_comments.begin(), m_comments.end());
        m_comments.clear();
    }

    // Reads a quoted text at the start of `s` (after the opening quote) up to
    // its closing quote; `s` is left after it. False when it does not close.
    bool Quoted(size_t number, std::u16string_view& s, std::u16string& out) {
        out.clear();
        for (size_t i = 0; i < s.size(); ++i) {
            const char16_t c = s[i];
            if (c == u'"') {
                s.remove_prefix(i + 1);
                return true;
            }
            if (c == u'\\' && i + 1 < s.size() && (s[i + 1] == u'\\' || s[i + 1] == u'"')) {
                out += s[++i];
            } else {
                // A lone backslash is kept as written (a hand-typed path), but noted.
                if (c == u'\\') Problem(number, "a backslash that escapes nothing");
                out += c;
            }
        }
        return false;
    }

    void ValueLine(const Lines& lines, size_t& i, std::u16string_view line) {
        const size_t number = lines[i].first;
        std::u16string name;
        if (line.front() == u'@') {
            line.remove_prefix(1);
        } else {
            line.remove_prefix(1);
            if (!Quoted(number, line, name)) {
                Problem(number, "a value name without its closing quote");
                return;
            }
        }
        line = Trim(line);
        if (line.empty() || line.front() != u'=') {
            Problem(number, "a value without \"=\"");
            return;
        }
        line = Trim(line.substr(1));
        if (m_nKey == kNoKey) {
            Problem(number, "a value outside any key");
            SkipContinuation(lines, i, line);
            return;
        }
        if (!IsValidValueName(name)) {
            Problem(number, "a value name the registry cannot hold");
            SkipContinuation(lines, i, line);
            return;
        }
        if (line == u"-") {
            m_builder.RemoveValue(m_nKey, name);
            return;
        }
        uint32_t type = 0;
        std::vector<uint8_t> data;
        if (!line.empty() && line.front() == u'"') {
            line.remove_prefix(1);
            std::u16string text;
            if (!Quoted(number, line, text)) {
                Problem(number, "a text without its closing quote");
                return;
            }
            if (!Trim(line).empty()) Problem(number, "text after a value's closing quote");
            type = kTypeSz;
            text += u'\0';
            data.resize(text.size() * 2);
            std::memcpy(data.data(), text.data(), data.size());
        } else if (StartsWith(line, u"dword:")) {
            uint32_t value = 0;
            line.remove_prefix(6);
            if (line.empty() || ParseHex32(line, value) != line.size()) {
                Problem(number, "a DWORD that is not 1 to 8 hex digits");
                return;
            }
            type = kTypeDword;
            data.resize(4);
            std::memcpy(data.data(), &value, 4);
        } else if (StartsWith(line, u"hex")) {
            bool complete;
            const std::u16string joined = Joined(lines, i, line, complete);
            if (!complete) {
                // A value cut short is not taken at all rather than taken in part.
                Problem(number, "hex data whose continuation line is missing");
                return;
            }
            std::u16string_view hex = joined;
            hex.remove_prefix(3);
            type = kTypeBinary;
            if (!hex.empty() && hex.front() == u'(') {
                const size_t used = ParseHex32(hex.substr(1), type);
                if (used == 0 || hex.size() < used + 2 || hex[used + 1] != u')') {
                    Problem(number, "a hex(type) whose type is not a hex number");
                    return;
                }
                hex.remove_prefix(used + 2);
            }
            if (hex.empty() || hex.front() != u':' || !Bytes(hex.substr(1), data)) {
                Problem(number, "hex data that is not a list of bytes");
                return;
            }
        } else {
            Problem(number, "a value of an unknown form");
            return;
        }
        HiveValue& value = m_builder.SetValue(m_nKey, name, type, std::move(data));
        value.comments.insert(value.comments.end(), m_comments.begin(), m_comments.end());
        m_comments.clear();
    }

    // The hex data of a value with its continuation lines (each line that ends
    // with a backslash goes on in the next one).
    // A continuation holds bytes only: a line that begins otherwise (a key, the
    // next value, the file's end) is not taken in, so a cut value never swallows
    // what follows it. `complete` is false then.
    std::u16string Joined(const Lines& lines, size_t& i, std::u16string_view first, bool& complete) {
        std::u16string joined(first);
        complete = true;
        while (!joined.empty() && joined.back() == u'\\') {
            joined.pop_back();
            const std::u16string_view next = i + 1 < lines.size() ? Trim(lines[i + 1].second) : u"";
            if (next.empty() || HexDigit(next.front()) < 0) {
                complete = false;
                break;
            }
            joined += next;
            ++i;
        }
        return joined;
    }

    void SkipContinuation(const Lines& lines, size_t& i, std::u16string_view first) {
        bool complete;
        if (StartsWith(first, u"hex")) Joined(lines, i, first, complete);
    }

    static bool Bytes(std::u16string_view list, std::vector<uint8_t>& out) {
        list = Trim(list);
        if (list.empty()) return true;
        while (true) {
            const size_t comma = list.find(u',');
            const std::u16string_view item = Trim(list.substr(0, comma));
            if (item.empty() && comma == std::u16string_view::npos && !out.empty()) return true;  // trailing comma
            if (item.empty() || item.size() > 2) return false;
            int value = 0;
            for (char16_t c : item) {
                if (HexDigit(c) < 0) return false;
                value = value * 16 + HexDigit(c);
            }
            out.push_back(static_cast<uint8_t>(value));
            if (comma == std::u16string_view::npos) return true;
            list.remove_prefix(comma + 1);
        }
    }

    static constexpr size_t kNoKey = SIZE_MAX;
    Hive& m_hive;
    CHiveBuilder m_builder;
    ParseReport& m_report;
    std::u16string m_text;
    std::vector<std::u16string> m_comments;
    size_t m_nKey = kNoKey;
    bool m_bSeenContent = false;
};

}  // namespace

ParseReport ParseHive(std::string_view bytes, Hive& hive) {
    ParseReport report;
    CParser parser(hive, report);
    parser.Decode(bytes);
    parser.Run();
    return report;
}

}  // namespace settings::hive
