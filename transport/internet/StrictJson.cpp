#include "transport/internet/StrictJson.h"

#include "platform/Text.h"

#include <set>
#include <string>

namespace pppp {
namespace {

class CChecker {
public:
    CChecker(const uint8_t* data, size_t size, int maxDepth)
        : m_p(data), m_end(data + size), m_maxDepth(maxDepth) {}

    bool Document() {
        Space();
        if (!Value(0)) return false;
        Space();
        return m_p == m_end;
    }

private:
    bool More() const { return m_p < m_end; }
    bool Take(uint8_t c) {
        if (!More() || *m_p != c) return false;
        ++m_p;
        return true;
    }
    void Space() {
        while (More() && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r')) ++m_p;
    }

    bool Value(int depth) {
        if (!More()) return false;
        switch (*m_p) {
            case '{':
                return depth < m_maxDepth && Object(depth + 1);
            case '[':
                return depth < m_maxDepth && Array(depth + 1);
            case '"':
                return String(nullptr);
            case 't':
                return Word("true");
            case 'f':
                return Word("false");
            case 'n':
                return Word("null");
            default:
                return Number();
        }
    }

    bool Object(int depth) {
        ++m_p;  // '{'
        Space();
        if (Take('}')) return true;
        std::set<std::string> names;
        for (;;) {
            std::string name;
            if (!String(&name) || !names.insert(std::move(name)).second) return false;
            Space();
            if (!Take(':')) return false;
            Space();
            if (!Value(depth)) return false;
            Space();
            if (Take('}')) return true;
            if (!Take(',')) return false;
            Space();
        }
    }

    bool Array(int depth) {
        ++m_p;  // '['
        Space();
        if (Take(']')) return true;
        for (;;) {
            if (!Value(depth)) return false;
            Space();
            if (Take(']')) return true;
            if (!Take(',')) return false;
            Space();
        }
    }

    bool Word(const char* word) {
        for (; *word; ++word)
            if (!Take(static_cast<uint8_t>(*word))) return false;
        return true;
    }

    bool Digits() {
        const uint8_t* start = m_p;
        while (More() && *m_p >= '0' && *m_p <= '9') ++m_p;
        return m_p != start;
    }

    bool Number() {
        Take('-');
        if (Take('0')) {
            if (More() && *m_p >= '0' && *m_p <= '9') return false;  // no leading zeros
        } else if (!Digits()) {
            return false;
        }
        if (Take('.') && !Digits()) return false;
        if (More() && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (!Take('+')) Take('-');
            if (!Digits()) return false;
        }
        return true;
    }

    bool Hex4(uint32_t* out) {
        if (m_end - m_p < 4) return false;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const uint8_t c = *m_p++;
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= c - '0';
            else if (c >= 'a' && c <= 'f')
                v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                v |= c - 'A' + 10;
            else
                return false;
        }
        *out = v;
        return true;
    }

    static void Append(std::string* out, uint32_t cp) {
        if (!out) return;
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // One UTF-8 character as it stands in the text: shortest form, no
    // surrogate, at most U+10FFFF.
    bool Utf8(uint32_t* out) {
        char32_t cp = 0;
        const size_t length =
            platform::DecodeUtf8(std::string_view(reinterpret_cast<const char*>(m_p), static_cast<size_t>(m_end - m_p)), cp);
        if (length == 0) return false;
        m_p += length;
        *out = cp;
        return true;
    }

    // A string; its unescaped text goes to `out` when given.
    bool String(std::string* out) {
        if (!Take('"')) return false;
        for (;;) {
            if (!More()) return false;
            const uint8_t c = *m_p;
            if (c == '"') {
                ++m_p;
                return true;
            }
            if (c < 0x20) return false;
            uint32_t cp;
            if (c != '\\') {
                if (!Utf8(&cp)) return false;
                Append(out, cp);
                continue;
            }
            ++m_p;
            if (!More()) return false;
            switch (*m_p++) {
                case '"':
                    cp = '"';
                    break;
                case '\\':
                    cp = '\\';
                    break;
                case '/':
                    cp = '/';
                    break;
                case 'b':
                    cp = '\b';
                    break;
                case 'f':
                    cp = '\f';
                    break;
                case 'n':
                    cp = '\n';
                    break;
                case 'r':
                    cp = '\r';
                    break;
                case 't':
                    cp = '\t';
                    break;
                case 'u': {
                    if (!Hex4(&cp) || cp == 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        uint32_t low;
                        if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                            return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    break;
                }
                default:
                    return false;
            }
            Append(out, cp);
        }
    }

    const uint8_t* m_p;
    const uint8_t* const m_end;
    const int m_maxDepth;
};

}  // namespace

bool IsStrictJson(const uint8_t* data, size_t size, int maxDepth) {
    if (!data) return false;
    return CChecker(data, size, maxDepth).Document();
}

}  // namespace pppp
