#include "service/app/AboutDlg.h"

#include <cstdio>

#include "platform/Text.h"
#include "service/app/LangKeys.h"
#include "service/app/MakerInfo.h"

namespace app {

const char16_t kLibraryLicences[] =
    u"Qt 6 (Core, Gui, Widgets, Svg) \u2014 GNU LGPL 3.0\n"
    u"GStreamer 1.0 (core, base, WebRTC, SDP) \u2014 GNU LGPL 2.1 or later\n"
    u"GLib, GObject \u2014 GNU LGPL 2.1 or later\n"
    u"JSON-GLib \u2014 GNU LGPL 2.1 or later\n"
    u"libnice \u2014 Mozilla Public License 1.1 or GNU LGPL 2.1\n"
    u"Eclipse Mosquitto client library \u2014 Eclipse Public License 2.0 or Eclipse Distribution License 1.0\n"
    u"GCC C++ runtime \u2014 GNU GPL 3.0 with the GCC Runtime Library Exception";

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
    texts.strLicences = heading.value_or(u"Libraries this program uses, each under its own licence:") + u"\n" +
                        kLibraryLicences + u"\n" +
                        where.value_or(u"The full texts: /usr/share/doc/<package>/copyright");
    return texts;
}

}  // namespace app
