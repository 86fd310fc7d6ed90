#pragma once
// The About box: product name and version from the active language pack, the
// transport library's version, and the maker's legal notice. This is what the
// box shows; a host draws it (the Qt window's About box).

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace app {

// The active language pack as the About box reads it: whether a pack is
// loaded, and the text of a key (none when the key is missing).
class ILanguageTexts {
public:
    virtual bool HoldsPack() const = 0;
    virtual std::optional<std::u16string> Text(std::u16string_view key) const = 0;

protected:
    ~ILanguageTexts() = default;
};

// The box's texts, as its template has them until OnInitDialog fills them.
struct AboutTexts {
    std::u16string strTitle = u"ZELT2 Service";
    std::u16string strVersion = u"ZELT2 ver 2.1.1.0";  // control 1016
    std::u16string strApiVersion = u"API ver";          // control 1026
    std::u16string strLegal;                            // control 1035
    // The libraries the program runs on and their licences (control 1040):
    // a heading in the pack's language, then a line per library.
    std::u16string strLicences;
};

// Control ids of the About box.
inline constexpr int kIdAboutIcon = 1036;
inline constexpr int kIdAboutVersion = 1016;
inline constexpr int kIdAboutApiVersion = 1026;
inline constexpr int kIdAboutLegal = 1035;
inline constexpr int kIdAboutLicences = 1040;

// A line per library the program runs on: its name and its licence. The
// libraries are this system's (LibraryLicences.cpp in posix/ or win32/).
extern const char16_t kLibraryLicences[];
// Where the licences' full texts are on this system; null where the language
// pack's text (key 1132) says it.
extern const char16_t* const kLicenceTextsWhere;

// "API V%d.%d.%d.%d", the version's bytes from the most significant.
std::u16string FormatApiVersion(unsigned int version);

class CAboutDlg {
public:
    // `lang` may be null (no pack); `version` is the service's version text;
    // `apiVersion` asks the transport for its version.
    CAboutDlg(const ILanguageTexts* lang, std::u16string version, std::function<unsigned int()> apiVersion)
        : m_pLangTable(lang), m_strVersion(std::move(version)), m_apiVersion(std::move(apiVersion)) {}

    // The texts the box shows once it is initialised.
    AboutTexts OnInitDialog() const;

private:
    const ILanguageTexts* m_pLangTable;
    std::u16string m_strVersion;
    std::function<unsigned int()> m_apiVersion;
};

}  // namespace app
