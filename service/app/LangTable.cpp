#include "service/app/LangTable.h"

#include <cstdio>
#include <memory>

#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Trace.h"

namespace app {

// Reads a pack one UTF-16 unit at a time, as the file gives them.
class CLangTable::CReader {
public:
    explicit CReader(CLangTable& table) : m_table(table) {}

    // False once reading has ended (early, or on a missing mark).
    bool Feed(char16_t unit) {
        if (m_state == State::Done) return false;
        if (!m_bMarkSeen) {
            m_bMarkSeen = true;
            if (unit != 0xFEFF) {
                ZTRACE("no byte-order mark: not a language pack\n");
                m_state = State::Done;
                return false;
            }
            return true;
        }
        if (unit == u'\r') return true;
        if (unit != u'\n') {
            if (m_line.size() < kLangLineMax) {
                m_line.push_back(unit);
            } else {
                m_bLineTooLong = true;
            }
            return true;
        }
        if (m_bLineTooLong) {
            ZTRACE("a line of more than %zu characters is ignored\n", kLangLineMax);
        } else {
            HandleLine(Trim(m_line));
        }
        m_line.clear();
        m_bLineTooLong = false;
        return m_state != State::Done;
    }

private:
    enum class State { BeforeHeader, Header, Section, Done };

    static bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == 0x00A0 || c == 0x3000; }

    static std::u16string_view Trim(std::u16string_view s) {
        while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
        while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
        return s;
    }

    void HandleLine(std::u16string_view line) {
        if (line.size() < 2 || line.starts_with(u"//")) return;
        switch (m_state) {
        case State::BeforeHeader:
            if (line == u"[CurrentLang]") m_state = State::Header;
            break;
        case State::Header:
            if (line.find(u"Lang") != std::u16string_view::npos) {
                m_table.m_strLanguage = line.size() > 5 ? std::u16string(line.substr(5)) : std::u16string();
                m_bHaveName = true;
            } else if (line.find(u"Ver") != std::u16string_view::npos) {
                m_table.m_strVersion = line.size() > 4 ? std::u16string(line.substr(4)) : std::u16string();
            } else if (line.front() == u'[') {
                if (!m_bHaveName) {
                    m_table.Reset();
                    m_state = State::Done;
                } else if (line.size() == m_table.m_strLanguage.size() + 2 && line.back() == u']' &&
                           line.substr(1, line.size() - 2) == m_table.m_strLanguage) {
                    m_state = State::Section;
                }
            }
            break;
        case State::Section:
            if (line.front() == u'[') {
                m_state = State::Done;
            } else if (const size_t eq = line.find(u'='); eq != std::u16string_view::npos) {
                m_table.m_texts[std::u16string(line.substr(0, eq))] = std::u16string(line.substr(eq + 1));
            }
            break;
        case State::Done:
            break;
        }
    }

    CLangTable& m_table;
    State m_state = State::BeforeHeader;
    bool m_bMarkSeen = false;
    bool m_bHaveName = false;
    bool m_bLineTooLong = false;
    std::u16string m_line;
};

void CLangTable::Reset() {
    m_texts.clear();
    m_strVersion.clear();
    m_strLanguage.clear();
}

void CLangTable::Load(const std::string& path) {
    if (path.empty()) return;
    std::unique_ptr<FILE, int (*)(FILE*)> file(platform::OpenFile(path, "rb"), &std::fclose);
    if (!file) {
        ZTRACE("%s cannot be opened: the texts stay as they are\n", path.c_str());
        return;
    }
    Reset();
    CReader reader(*this);
    uint8_t buffer[8192];
    bool haveLow = false;
    uint8_t low = 0;
    for (;;) {
        const size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
        if (n == 0) break;
        for (size_t i = 0; i < n; ++i) {
            if (!haveLow) {
                low = buffer[i];
                haveLow = true;
                continue;
            }
            haveLow = false;
            if (!reader.Feed(static_cast<char16_t>(low | (buffer[i] << 8)))) return;
        }
    }
}

void CLangTable::LoadBytes(const uint8_t* bytes, size_t count) {
    Reset();
    CReader reader(*this);
    for (size_t i = 0; i + 1 < count; i += 2) {
        if (!reader.Feed(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)))) return;
    }
}

const std::u16string* CLangTable::GetText(std::u16string_view key) const {
    if (key.empty() || m_texts.empty()) return nullptr;
    const auto it = m_texts.find(std::u16string(key));
    return it == m_texts.end() ? nullptr : &it->second;
}

std::vector<std::u16string> ListLanguagePacks(const std::string& folder) {
    std::vector<std::u16string> names;
    if (folder.empty()) return names;
    const std::string dir = folder.back() == '/' ? folder : folder + "/";
    const std::vector<std::string> files = platform::ListFiles(dir);
    if (files.empty()) ZTRACE("%s holds no files or cannot be listed\n", dir.c_str());
    for (const std::string& name : files) {
        // "*.ini" with the letter case ignored, so that a pack copied from a
        // file system that ignores case is found whatever its extension's case.
        if (name.size() < 4) continue;
        std::string ext = name.substr(name.size() - 4);
        for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (ext != ".ini") continue;
        if (name.compare(0, 5, "Lang_") != 0) continue;
        const std::string language = name.substr(5, name.find('.', 5) - 5);
        if (language.empty()) continue;
        names.push_back(platform::Utf8ToUtf16(language));
    }
    return names;
}

std::string LanguagePackPath(const std::string& moduleDir, std::u16string_view language) {
    // The name comes from the list of packs found; a name that could leave the
    // folder is not a pack's name.
    if (language.empty() || language.find_first_of(std::u16string_view(u"/\\\0", 3)) != std::u16string_view::npos)
        return "";
    return moduleDir + "res/Lang_" + platform::Utf16ToUtf8(language) + ".ini";
}

}  // namespace app
