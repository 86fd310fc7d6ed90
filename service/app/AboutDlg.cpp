#include "service/app/AboutDlg.h"

#include <cstdio>

#include "platform/Text.h"
#include "service/app/LangKeys.h"
#include "service/app/MakerInfo.h"

namespace app {

std::u16string FormatApiVersion(unsigned int version) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "API V%u.%u.%u.%u", (version >> 24) & 0xFFu, (version >> 16) & 0xFFu,
                  (version >> 8) & 0xFFu, version & 0xFFu);
    return platform::Utf8ToUtf16(buffer);
}

AboutTexts CAboutDlg::OnInitDialog() const {
    AboutTexts texts;
    if (m_apiVersion) texts.strApiVersion = FormatApiVersion(m_apiVersion());
    if (m_pLangTable && m_pLangTable->HoldsPack()) {
        const std::u16string name = m_pLangTable->Text(langkey::kWindowTitle).value_or(u"");
        texts.strTitle = name;
        texts.strVersion = name + u" V" + m_strVersion;
    }
    texts.strLegal = platform::Utf8ToUtf16(kMakerLegalNotice);
    std::optional<std::u16string> heading, where;
    if (m_pLangTable && m_pLangTable->HoldsPack()) {
        heading = m_pLangTable->Text(langkey::kAboutLicences);
        where = m_pLangTable->Text(langkey::kAboutLicenceTexts);
    }
    if (kLicenceTextsWhere) where = kLicenceTextsWhere;
    texts.strLicences = heading.value_or(u"Libraries this program uses, each under its own licence:") + u"\n" +
                        kLibraryLicences + u"\n" +
                        where.value_or(u"The full texts: /usr/share/doc/<package>/copyright");
    return texts;
}

}  // namespace app
