#pragma once
// Language packs: the texts of the window, its message boxes and its status
// line, by four-digit keys, from UTF-16 files named res/Lang_<name>.ini
// beside the program.
//
// A pack file is UTF-16 little-endian with the byte-order mark FF FE:
//
//   [CurrentLang]
//   Lang=English
//   Ver=2.0
//   [English]
//   0999=Connect to Internet
//   ...
//
// Lines end with LF; CR is dropped wherever it is; a last line without LF is
// ignored. Lines are trimmed; lines of fewer than two characters and lines
// beginning with "//" are ignored. Keys and texts are taken exactly as
// written (spaces around "=" belong to them). Everything in a pack is read as
// untrusted input: any byte sequence ends in a table, never in a fault.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace app {

// The longest line a pack may hold, in UTF-16 units; a longer line is
// ignored whole rather than cut into a key or text nobody wrote.
inline constexpr size_t kLangLineMax = 1023;

class CLangTable {
public:
    virtual ~CLangTable() = default;

    // Empties the texts and the version text.
    void Reset();
    // Reads the pack at `path` (UTF-8 file name). An empty path or a file that
    // cannot be opened leaves the table as it was; otherwise the table holds
    // what the file gives (empty for a file without the mark).
    void Load(const std::string& path);
    // The same from the bytes of a file.
    void LoadBytes(const uint8_t* bytes, size_t count);

    // The text of `key`; nullptr when the key is empty or missing, or when no
    // pack is loaded. Valid until the next load.
    const std::u16string* GetText(std::u16string_view key) const;

    bool HasPack() const { return !m_texts.empty(); }
    size_t Count() const { return m_texts.size(); }
    const std::u16string& Language() const { return m_strLanguage; }
    const std::u16string& Version() const { return m_strVersion; }

private:
    class CReader;

    std::u16string m_strLanguage;  // the header's language name
    std::u16string m_strVersion;   // recorded, shown nowhere
    std::unordered_map<std::u16string, std::u16string> m_texts;
};

// The language names of the packs in `folder` (UTF-8; with or without a
// trailing '/'): every file (not a directory) named Lang_<name>.<anything>.ini
// gives <name>, the characters after "Lang_" (case as written) up to the first
// '.'. In the order the folder gives them; the window's list sorts them.
std::vector<std::u16string> ListLanguagePacks(const std::string& folder);

// The path of the pack of `language` below the program directory
// `moduleDir` (which ends with '/').
std::string LanguagePackPath(const std::string& moduleDir, std::u16string_view language);

}  // namespace app
