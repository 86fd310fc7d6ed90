// The link's behaviour over a fake widget and a fake desktop, its error box
// texts, and the About box's texts.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "service/app/AboutDlg.h"
#include "service/app/HyperLink.h"
#include "service/app/LinkErrorText.h"

namespace {

class FakeLinkView : public app::ILinkView {
public:
    bool Exists() const override { return true; }
    std::u16string GetText() const override { return text; }
    void SetText(const std::u16string& t) override { text = t; }
    void FitToText() override { ++fits; }
    void SetToolTip(const std::u16string& t) override { tip = t; }
    void Repaint() override { ++repaints; }
    app::Colour HighlightColour() const override { return app::Rgb(1, 2, 3); }
    void Beep() override { ++beeps; }
    void ShowError(const std::u16string& t) override { errors.push_back(t); }
    void ShowFailure(const std::u16string& c, const std::u16string& t) override { errors.push_back(c + u"|" + t); }

    std::u16string text = u"Manage my account", tip;
    int fits = 0, repaints = 0, beeps = 0;
    std::vector<std::u16string> errors;
};

TEST(HyperLink, ClickTurnsTheLinkVisitedOrReportsWhyNot) {
    FakeLinkView view;
    app::CHyperLink link;
    link.SetURL(u"https://example.com/");
    link.Attach(&view);
    EXPECT_EQ(view.tip, u"https://example.com/");
    EXPECT_EQ(view.text, u"Manage my account");
    link.SetColours(0, app::Rgb(9, 9, 9), app::kHighlightColour);
    EXPECT_EQ(link.TextColour(), 0u);
    link.SetOver(true);
    EXPECT_EQ(link.TextColour(), app::Rgb(1, 2, 3));

    std::vector<std::u16string> opened;
    platform::UrlOpenResult answer = platform::UrlOpenResult::Success();
    link.SetOpener([&](std::u16string_view target) {
        opened.emplace_back(target);
        return answer;
    });
    link.OnClicked();
    EXPECT_EQ(opened, std::vector<std::u16string>{u"https://example.com/"});
    EXPECT_FALSE(link.IsOver());
    EXPECT_TRUE(link.GetVisited());
    EXPECT_EQ(link.TextColour(), app::Rgb(9, 9, 9));
    EXPECT_EQ(view.beeps, 0);

    answer = platform::UrlOpenResult::NoHandler();  // no opener and no browser named
    link.OnClicked();
    EXPECT_FALSE(link.GetVisited());
    EXPECT_EQ(view.beeps, 1);
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0], app::ReportErrorText(31));

    // With the window's texts: why, for an address, and the address to copy.
    link.SetFailureTexts({u"Cap", u"Not opened.", u"No browser.", u"Browser failed.", u"Copy:"});
    link.OnClicked();
    answer = platform::UrlOpenResult::Failure(platform::UrlFailure::kFileNotFound);
    link.OnClicked();
    ASSERT_EQ(view.errors.size(), 3u);
    EXPECT_EQ(view.errors[1], u"Cap|Not opened.\n\nNo browser.\n\nCopy:\nhttps://example.com/");
    EXPECT_EQ(view.errors[2], u"Cap|Not opened.\n\nBrowser failed.\n\nCopy:\nhttps://example.com/");
    EXPECT_EQ(view.beeps, 3);

    const int before = view.fits;
    link.SetLinkText(u"Account");
    EXPECT_EQ(view.text, u"Account");
    EXPECT_GT(view.fits, before);
}

TEST(HyperLinkTexts, ErrorBoxTexts) {
    EXPECT_EQ(app::ReportErrorText(26), u"Unable to open hyperlink:\n\nA sharing violation occurred. ");
    EXPECT_EQ(app::ReportErrorText(4), u"Unable to open hyperlink:\n\nUnknown Error (4) occurred.");
    EXPECT_EQ(app::ReportErrorText(-7), u"Unable to open hyperlink:\n\nUnknown Error (-7) occurred.");
    // A desktop's verdict picks the reason the box has always shown for it.
    EXPECT_EQ(app::ReportErrorCode(platform::UrlOpenResult::NoHandler()), 31);
    EXPECT_EQ(app::ReportErrorCode(platform::UrlOpenResult::Failure(platform::UrlFailure::kFileNotFound)), 2);
    EXPECT_EQ(app::ReportErrorCode(platform::UrlOpenResult::Failure(platform::UrlFailure::kBadExecutable)), 11);
}

class FakePack : public app::ILanguageTexts {
public:
    bool HoldsPack() const override { return !texts.empty(); }
    std::optional<std::u16string> Text(std::u16string_view key) const override {
        for (const auto& [k, v] : texts) {
            if (k == key) return v;
        }
        return std::nullopt;
    }
    std::vector<std::pair<std::u16string, std::u16string>> texts;
};

TEST(AboutBox, TextsFromThePackAndTheTransport) {
    EXPECT_EQ(app::FormatApiVersion(0x01020304u), u"API V1.2.3.4");
    EXPECT_EQ(app::FormatApiVersion(0xFF00FE10u), u"API V255.0.254.16");

    FakePack pack;
    const app::AboutTexts noPack = app::CAboutDlg(&pack, u"2.1.1", [] { return 0x02010000u; }).OnInitDialog();
    EXPECT_EQ(noPack.strTitle, u"ZELT2 Service");
    EXPECT_EQ(noPack.strVersion, u"ZELT2 ver 2.1.1.0");
    EXPECT_EQ(noPack.strApiVersion, u"API V2.1.0.0");
    EXPECT_FALSE(noPack.strLegal.empty());
    EXPECT_NE(noPack.strLicences.find(u"Qt 6 (Core, Gui, Widgets, Svg) \u2014 GNU LGPL 3.0\n"), std::u16string::npos);

    pack.texts = {{u"1001", u"Fernwache"}, {u"1131", u"Bibliotheken:"}, {u"1132", u"Texte: /usr/share/doc"}};
    const app::AboutTexts withPack = app::CAboutDlg(&pack, u"2.1.1", {}).OnInitDialog();
    EXPECT_EQ(withPack.strLicences, std::u16string(u"Bibliotheken:\n") + app::kLibraryLicences + u"\nTexte: /usr/share/doc");
    EXPECT_EQ(withPack.strTitle, u"Fernwache");
    EXPECT_EQ(withPack.strVersion, u"Fernwache V2.1.1");
    EXPECT_EQ(withPack.strApiVersion, u"API ver");

    pack.texts = {{u"1002", u"x"}};  // a pack without the product name
    EXPECT_EQ(app::CAboutDlg(&pack, u"2.1.1", {}).OnInitDialog().strVersion, u" V2.1.1");
}

}  // namespace
