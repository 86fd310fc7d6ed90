#include "service/settings/hivefile/HiveText.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "platform/Text.h"

namespace settings::hive {
namespace {

static_assert(std::endian::native == std::endian::little, "registry data is UTF-16 in little-endian order");

constexpr uint32_t kTypeSz = 1;
constexpr uint32_t kTypeBinary = 3;
constexpr uint32_t kTypeDword = 4;
constexpr size_t kMaxKeyPart = 255;
// Lines are wrapped before this column, as registry editors do.
constexpr size_t kWrapColumn = 77;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool HasLoneSurrogate(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(s[i]) || IsLowSurrogate(s[i])) {
            return true;
        }
    }
    return false;
}

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

char16_t Upper(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    return platform::ToUpperUnit(c);
}

uint64_t HashIgnoringCase(std::u16string_view name) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (char16_t c : name) hash = (hash ^ Upper(c)) * 1099511628211ull;
    // Mixed, so that names that differ only at their end spread over the table.
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    return hash ^ (hash >> 33);
}

// Finds entries by name without regard to letter case. It holds only their
// numbers and hashes (open addressing); the names stay where they are, and
// `nameOf(n)` gives the name of entry n. A name's hash is taken once, by the
// caller, for a search and the insertion that may follow it.
class CNameIndex {
public:
    template <typename NameOf>
    size_t Find(std::u16string_view name, uint64_t hash, const NameOf& nameOf) const {
        if (m_slots.empty()) return kNone;
        const size_t mask = m_slots.size() - 1;
        const auto tag = static_cast<uint32_t>(hash >> 32);
        for (size_t i = tag & mask;; i = (i + 1) & mask) {
            const Slot& slot = m_slots[i];
            if (slot.entry == kEmpty) return kNone;
            if (slot.entry != kErased && slot.tag == tag && platform::EqualsIgnoreCase(nameOf(slot.entry - kFirst), name))
                return slot.entry - kFirst;
        }
    }

    // Adds entry `n`, whose name the index does not hold yet.
    void Insert(uint64_t hash, size_t n) {
        if (2 * (m_nUsed + 1) > m_slots.size()) Grow();
        Place({static_cast<uint32_t>(n + kFirst), static_cast<uint32_t>(hash >> 32)});
        ++m_nUsed;
    }

    template <typename NameOf>
    void Erase(std::u16string_view name, uint64_t hash, const NameOf& nameOf) {
        const size_t n = Find(name, hash, nameOf);
        if (n == kNone) return;
        const size_t mask = m_slots.size() - 1;
        for (size_t i = static_cast<uint32_t>(hash >> 32) & mask;; i = (i + 1) & mask) {
            if (m_slots[i].entry == n + kFirst) {
                m_slots[i].entry = kErased;  // still counted in m_nUsed until the next growth
                return;
            }
        }
    }

    static constexpr size_t kNone = SIZE_MAX;

private:
    static constexpr uint32_t kEmpty = 0, kErased = 1, kFirst = 2;
    struct Slot {
        uint32_t entry = kEmpty;
        uint32_t tag = 0;  // the upper half of the name's hash
    };

    void Place(Slot slot) {
        const size_t mask = m_slots.size() - 1;
        size_t i = slot.tag & mask;
        while (m_slots[i].entry != kEmpty) i = (i + 1) & mask;
        m_slots[i] = slot;
    }

    void Grow() {
        std::vector<Slot> old(std::max<size_t>(16, m_slots.size() * 2));
        old.swap(m_slots);
        m_nUsed = 0;
        for (const Slot& slot : old) {
            if (slot.entry < kFirst) continue;
            Place(slot);
            ++m_nUsed;
        }
    }

    std::vector<Slot> m_slots;  // a power of two long, at most half used
    size_t m_nUsed = 0;
};

// Names for the index: the paths of the hive's keys, the names of a key's values.
struct KeyPathOf {
    const Hive* hive;
    std::u16string_view operator()(size_t k) const { return hive->keys[k].path; }
};
struct ValueNameOf {
    const Hive* hive;
    size_t key;
    std::u16string_view operator()(size_t v) const { return hive->keys[key].values[v].name; }
};

// What the parser knows of a key beyond the hive: whether it, or some of its
// values, were removed again.
struct KeyState {
    bool gone = false;
    bool anyValueGone = false;
    std::vector<bool> valueGone;
    std::unique_ptr<CNameIndex> values;  // once the key has many values
};

class CParser {
public:
    CParser(Hive& hive, ParseReport& report) : m_hive(hive), m_report(report) {}

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
        // Keys and values already in the hive take part in the merging.
        m_keyState.resize(m_hive.keys.size());
        for (size_t k = 0; k < m_hive.keys.size(); ++k) {
            m_keyIndex.Insert(HashIgnoringCase(m_hive.keys[k].path), k);
            for (size_t v = 0; v < m_hive.keys[k].values.size(); ++v) IndexValue(k, v);
        }
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
        Compact();
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
            RemoveKeyTree(path);  // comments before it stay with what comes next
            return;
        }
        m_nKey = AddKey(path);
        HiveKey& key = m_hive.keys[m_nKey];
        key.comments.insert(key.comments.end(), m_comments.begin(), m_comments.end());
        m_comments.clear();
    }

    // -- the hive's keys and values, found through indexes so that reading
    // stays linear however many keys and values a file holds. Removed keys and
    // values are marked and dropped at the end.

    KeyPathOf KeyPath() const { return {&m_hive}; }
    ValueNameOf ValueName(size_t k) const { return {&m_hive, k}; }

    size_t AddKey(std::u16string_view path) {
        const uint64_t hash = HashIgnoringCase(path);
        if (size_t k = m_keyIndex.Find(path, hash, KeyPath()); k != CNameIndex::kNone) return k;
        const size_t k = m_hive.keys.size();
        m_hive.keys.emplace_back().path = path;
        m_keyState.emplace_back();
        m_keyIndex.Insert(hash, k);
        if (m_bOrdered) m_ordered.emplace(platform::ToUpper(path), k);
        return k;
    }

    // Keys with few values are searched in turn; a key that grows past that
    // gets an index of its own.
    static constexpr size_t kValuesWithoutIndex = 16;

    void IndexValue(size_t k, size_t v) {
        KeyState& state = m_keyState[k];
        if (!state.values) {
            if (m_hive.keys[k].values.size() <= kValuesWithoutIndex) return;
            state.values = std::make_unique<CNameIndex>();
            for (size_t i = 0; i < v; ++i)
                if (!Gone(state, i)) state.values->Insert(HashIgnoringCase(m_hive.keys[k].values[i].name), i);
        }
        state.values->Insert(HashIgnoringCase(m_hive.keys[k].values[v].name), v);
    }

    static bool Gone(const KeyState& state, size_t v) { return v < state.valueGone.size() && state.valueGone[v]; }

    size_t FindValue(size_t k, std::u16string_view name) const {
        const KeyState& state = m_keyState[k];
        if (state.values) return state.values->Find(name, HashIgnoringCase(name), ValueName(k));
        const std::vector<HiveValue>& values = m_hive.keys[k].values;
        for (size_t v = 0; v < values.size(); ++v)
            if (!Gone(state, v) && platform::EqualsIgnoreCase(values[v].name, name)) return v;
        return CNameIndex::kNone;
    }

    // Removes the key `path` and every key below it.
    void RemoveKeyTree(std::u16string_view path) {
        if (!m_bOrdered) {
            // Only files that remove keys pay for the ordered index.
            for (size_t k = 0; k < m_hive.keys.size(); ++k)
                if (!m_keyState[k].gone) m_ordered.emplace(platform::ToUpper(m_hive.keys[k].path), k);
            m_bOrdered = true;
        }
        const std::u16string upper = platform::ToUpper(path);
        const auto drop = [&](std::map<std::u16string, size_t>::iterator it) {
            m_keyState[it->second].gone = true;
            m_keyIndex.Erase(it->first, HashIgnoringCase(it->first), KeyPath());
            return m_ordered.erase(it);
        };
        if (auto it = m_ordered.find(upper); it != m_ordered.end()) drop(it);
        const std::u16string below = upper + u'\\';
        for (auto it = m_ordered.lower_bound(below);
             it != m_ordered.end() && it->first.compare(0, below.size(), below) == 0;)
            it = drop(it);
    }

    // Replaces the data of the value `name` of the key (which keeps its place
    // and the case it was first written with), or appends a new value.
    HiveValue& SetValue(size_t keyIndex, std::u16string_view name, uint32_t type, std::vector<uint8_t>&& data) {
        HiveKey& key = m_hive.keys[keyIndex];
        size_t v = FindValue(keyIndex, name);
        if (v == CNameIndex::kNone) {
            v = key.values.size();
            key.values.emplace_back().name = name;
            IndexValue(keyIndex, v);
        }
        HiveValue& value = key.values[v];
        value.type = type;
        value.data = std::move(data);
        return value;
    }

    void RemoveValue(size_t keyIndex, std::u16string_view name) {
        const size_t v = FindValue(keyIndex, name);
        if (v == CNameIndex::kNone) return;
        KeyState& state = m_keyState[keyIndex];
        if (state.values) state.values->Erase(name, HashIgnoringCase(name), ValueName(keyIndex));
        state.valueGone.resize(m_hive.keys[keyIndex].values.size());
        state.valueGone[v] = true;
        state.anyValueGone = true;
    }

    void Compact() {
        size_t kept = 0;
        for (size_t k = 0; k < m_hive.keys.size(); ++k) {
            const KeyState& state = m_keyState[k];
            if (state.gone) continue;
            HiveKey& key = m_hive.keys[k];
            if (state.anyValueGone) {
                size_t v = 0;
                std::erase_if(key.values, [&](const HiveValue&) {
                    const bool gone = v < state.valueGone.size() && state.valueGone[v];
                    ++v;
                    return gone;
                });
            }
            if (kept != k) m_hive.keys[kept] = std::move(key);
            ++kept;
        }
        m_hive.keys.resize(kept);
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
            RemoveValue(m_nKey, name);
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
        HiveValue& value = SetValue(m_nKey, name, type, std::move(data));
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
    CNameIndex m_keyIndex;
    std::map<std::u16string, size_t> m_ordered;  // upper-case path -> key, once a key is removed
    bool m_bOrdered = false;
    std::vector<KeyState> m_keyState;
    ParseReport& m_report;
    std::u16string m_text;
    std::vector<std::u16string> m_comments;
    size_t m_nKey = kNoKey;
    bool m_bSeenContent = false;
};

// -- writing ----------------------------------------------------------------------

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

// -- the hive in memory ------------------------------------------------------------

HiveValue* HiveKey::Find(std::u16string_view name) {
    for (auto& value : values)
        if (platform::EqualsIgnoreCase(value.name, name)) return &value;
    return nullptr;
}

HiveValue& HiveKey::Set(std::u16string_view name, uint32_t type, const uint8_t* data, size_t bytes) {
    HiveValue* value = Find(name);
    if (!value) {
        value = &values.emplace_back();
        value->name = name;
    }
    value->type = type;
    value->data.assign(data, data + bytes);
    return *value;
}

void HiveKey::Remove(std::u16string_view name) {
    std::erase_if(values, [&](const HiveValue& v) { return platform::EqualsIgnoreCase(v.name, name); });
}

HiveKey* Hive::FindKey(std::u16string_view path) {
    for (auto& key : keys)
        if (platform::EqualsIgnoreCase(key.path, path)) return &key;
    return nullptr;
}

HiveKey& Hive::AddKey(std::u16string_view path) {
    if (HiveKey* key = FindKey(path)) return *key;
    HiveKey& key = keys.emplace_back();
    key.path = path;
    return key;
}

namespace {
bool IsSameOrBelow(std::u16string_view key, std::u16string_view path) {
    if (key.size() < path.size()) return false;
    if (key.size() > path.size() && key[path.size()] != u'\\') return false;
    return platform::EqualsIgnoreCase(key.substr(0, path.size()), path);
}
}  // namespace

bool Hive::KeyExists(std::u16string_view path) const {
    return std::any_of(keys.begin(), keys.end(), [&](const HiveKey& k) { return IsSameOrBelow(k.path, path); });
}

void Hive::RemoveKeyTree(std::u16string_view path) {
    std::erase_if(keys, [&](const HiveKey& k) { return IsSameOrBelow(k.path, path); });
}

bool IsValidValueName(std::u16string_view name) {
    for (char16_t c : name)
        if (c < 0x20) return false;
    return !HasLoneSurrogate(name);
}

bool IsValidKeyPath(std::u16string_view path) {
    if (path.empty()) return false;
    while (true) {
        const size_t slash = path.find(u'\\');
        const std::u16string_view part = path.substr(0, slash);
        if (part.empty() || part.size() > kMaxKeyPart || !IsValidValueName(part)) return false;
        if (slash == std::u16string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

ParseReport ParseHive(std::string_view bytes, Hive& hive) {
    ParseReport report;
    CParser parser(hive, report);
    parser.Decode(bytes);
    parser.Run();
    return report;
}

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
