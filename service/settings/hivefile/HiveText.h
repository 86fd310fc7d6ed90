#pragma once
// The text of a registry file, as registry editors export and import it:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\ZELT2\ZELT2Service]
//   "DID"="ABC-123"
//   "Mode"=dword:00000002
//   "Frame"=hex:00,01,02
//   "Parts"=hex(7):61,00,00,00,00,00
//
// Texts and names are quoted with \\ and \" as their only escapes; "@" names
// a key's default value. Data that has no plain form (a text without its
// terminator or with line breaks, a DWORD that is not 4 bytes, any other type)
// is written as hex(type): bytes, so every value reads back byte for byte.
// Whole-line comments (";") are kept, as written, with the key or value they
// precede. Reading takes time in proportion to the file's size.
//
// We write UTF-8 without a byte-order mark and with LF line ends, unless a
// comment holds a unit UTF-8 cannot carry (an unpaired surrogate, from a UTF-16
// file): then the file is written as UTF-16LE with a mark and CR LF, so that
// comments are kept unit for unit. We read that,
// UTF-8 with a mark, and UTF-16 (little-endian with or without a mark, or
// big-endian with one) with LF or CR LF line ends, which is how files exported
// on Windows arrive. "REGEDIT4" files are read as UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace settings::hive {

inline constexpr char kHeader[] = "Windows Registry Editor Version 5.00";

struct HiveValue {
    std::u16string name;  // empty for the key's default value
    uint32_t type = 0;
    std::vector<uint8_t> data;
    std::vector<std::u16string> comments;  // comment lines written before it
};

struct HiveKey {
    std::u16string path;  // the full path, root name first: HKEY_CURRENT_USER\Software\...
    std::vector<HiveValue> values;
    std::vector<std::u16string> comments;

    HiveValue* Find(std::u16string_view name);
    // Replaces the data of the value `name` (letter case ignored), which keeps
    // its place and the case it was written with, or appends a new value.
    HiveValue& Set(std::u16string_view name, uint32_t type, const uint8_t* data, size_t bytes);
    void Remove(std::u16string_view name);
};

struct Hive {
    std::vector<HiveKey> keys;  // in the order of the file
    std::vector<std::u16string> trailingComments;

    HiveKey* FindKey(std::u16string_view path);
    HiveKey& AddKey(std::u16string_view path);  // the existing key of that path, or a new one at the end
    // True when the key has a section of its own or is the parent of one.
    bool KeyExists(std::u16string_view path) const;
    void RemoveKeyTree(std::u16string_view path);
};

struct ParseReport {
    bool clean = true;      // every line was understood
    size_t problems = 0;    // lines (or whole-file faults) that were not
    size_t firstLine = 0;   // line number of the first problem, 0 for the whole file
    std::string firstProblem;
};

// Reads the bytes of a registry file into `hive`, keeping everything it can
// understand; what it cannot is counted in the report and skipped.
ParseReport ParseHive(std::string_view bytes, Hive& hive);

// The file text of `hive`: UTF-8, LF line ends.
std::string FormatHive(const Hive& hive);

// Names the file can hold: no control characters (they would break the line)
// and no unpaired surrogates (they have no UTF-8 form).
bool IsValidValueName(std::u16string_view name);
// Key paths: parts of 1 to 255 units separated by single backslashes, each a valid name.
bool IsValidKeyPath(std::u16string_view path);

}  // namespace settings::hive
