// The link's behaviour and the desktop road by which it opens a target: the
// opener, and when that fails the default browser named by a desktop entry.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "platform/Text.h"
#include "service/app/AboutDlg.h"
#include "service/app/HyperLink.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {

using testsupport::CTempDir;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

bool WriteScript(const std::string& path, const std::string& body) {
    return WriteBytes(path, "#!/bin/sh\n" + body) && chmod(path.c_str(), 0700) == 0;
}

// A desktop whose folders all lie in a temporary folder: a mimeapps.list that
// names a stand-in browser, whose script writes its arguments to a file.
class DesktopFixture : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = {Save("HOME"), Save("XDG_CONFIG_HOME"), Save("XDG_DATA_HOME"), Save("XDG_DATA_DIRS"),
                  Save("XDG_CONFIG_DIRS")};
        setenv("HOME", dir_.Path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_.Path() + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_.Path() + "/data").c_str(), 1);
        setenv("XDG_DATA_DIRS", (dir_.Path() + "/nodata").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (dir_.Path() + "/noconfig").c_str(), 1);
        mkdir((dir_.Path() + "/config").c_str(), 0700);
        mkdir((dir_.Path() + "/data").c_str(), 0700);
        mkdir((dir_.Path() + "/data/applications").c_str(), 0700);
        ASSERT_TRUE(WriteScript(browser_, "for a in \"$@\"; do printf '[%s]' \"$a\"; done > " + output_ + ".part\nmv " +
                                              output_ + ".part " + output_ + "\n"));
        ASSERT_TRUE(WriteScript(failingOpener_, "exit 3\n"));
        ASSERT_TRUE(WriteScript(workingOpener_, "printf '%s' \"$1\" > " + output_ + "\n"));
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }
    static std::pair<std::string, std::optional<std::string>> Save(const char* name) {
        const char* v = std::getenv(name);
        return {name, v ? std::optional<std::string>(v) : std::nullopt};
    }
    void NameBrowser(const std::string& exec) {
        ASSERT_TRUE(WriteBytes(dir_.Path() + "/config/mimeapps.list",
                               "[Added Associations]\ntext/html=other.desktop;\n"
                               "[Default Applications]\ntext/html=missing.desktop;standin.desktop;\n"));
        ASSERT_TRUE(WriteBytes(dir_.Path() + "/data/applications/standin.desktop",
                               "[Desktop Entry]\nType=Application\nName=Stand-in\nExec=" + exec +
                                   "\n[Desktop Action new]\nExec=wrong\n"));
    }
    app::UrlOpener Opener(const std::string& program) {
        app::UrlOpener opener;
        opener.strProgram = program;
        return opener;
    }

    CTempDir dir_;
    std::string browser_ = dir_.File("stand in browser");
    std::string failingOpener_ = dir_.File("opener-fails");
    std::string workingOpener_ = dir_.File("opener-works");
    std::string output_ = dir_.File("opened");
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(DesktopFixture, OpenerThatOpensIsAllItTakes) {
    NameBrowser("\"" + browser_ + "\" %u");
    EXPECT_GT(app::GotoURL(u"https://example.com/a b", Opener(workingOpener_)), 32);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !ReadBytes(output_).empty(); }));
    EXPECT_EQ(ReadBytes(output_), "https://example.com/a b");
}

TEST_F(DesktopFixture, FailingOpenerFallsBackToTheDesktopEntrysBrowser) {
    NameBrowser("\"" + browser_ + "\" --new-window \"%u\" --after");
    const std::u16string target = u"https://example.com/x?a=1&b=\"2\" $(rm -rf ~)";
    EXPECT_GT(app::GotoURL(target, Opener(failingOpener_)), 32);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !ReadBytes(output_).empty(); }, 10000));
    // Cut at the placeholder; the target is one argument, taken literally.
    EXPECT_EQ(ReadBytes(output_), "[--new-window][" + platform::Utf16ToUtf8(target) + "]");

    // No opener at all on this desktop: the same road.
    std::remove(output_.c_str());
    EXPECT_GT(app::GotoURL(u"x", Opener(dir_.File("no-such-opener"))), 32);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !ReadBytes(output_).empty(); }, 10000));
    EXPECT_EQ(ReadBytes(output_), "[--new-window][x]");
}

TEST_F(DesktopFixture, BrowserCommandsAreBuiltAsTheDesktopEntrySays) {
    NameBrowser("\"browser\\s1\" --flag");  // no placeholder: the target goes at the end
    EXPECT_EQ(app::DefaultBrowserCommand(u"T"), (std::vector<std::string>{"browser 1", "--flag", "T"}));
    NameBrowser("browser %F %i");
    EXPECT_EQ(app::DefaultBrowserCommand(u"T"), (std::vector<std::string>{"browser", "T"}));
    // A command longer than its buffer is refused rather than cut.
    EXPECT_TRUE(app::DefaultBrowserCommand(std::u16string(600, u'a')).empty());
    // A browser that cannot be started: the reason as a result code.
    NameBrowser(dir_.File("missing-browser") + " %u");
    EXPECT_EQ(app::GotoURL(u"x", Opener(failingOpener_)), app::kErrFileNotFound);
    // No browser named: the opener's own failure.
    std::remove((dir_.Path() + "/config/mimeapps.list").c_str());
    EXPECT_TRUE(app::DefaultBrowserCommand(u"T").empty());
    EXPECT_EQ(app::GotoURL(u"x", Opener(failingOpener_)), app::kErrNoAssociation);
}

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

    std::u16string text = u"Manage my account", tip;
    int fits = 0, repaints = 0, beeps = 0;
    std::vector<std::u16string> errors;
};

TEST_F(DesktopFixture, ClickTurnsTheLinkVisitedOrReportsWhyNot) {
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

    link.SetOpener(Opener(workingOpener_));
    link.OnClicked();
    EXPECT_FALSE(link.IsOver());
    EXPECT_TRUE(link.GetVisited());
    EXPECT_EQ(link.TextColour(), app::Rgb(9, 9, 9));
    EXPECT_EQ(view.beeps, 0);

    link.SetOpener(Opener(failingOpener_));  // and no browser named
    link.OnClicked();
    EXPECT_FALSE(link.GetVisited());
    EXPECT_EQ(view.beeps, 1);
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0], app::ReportErrorText(31));

    const int before = view.fits;
    link.SetLinkText(u"Account");
    EXPECT_EQ(view.text, u"Account");
    EXPECT_GT(view.fits, before);
}

TEST(HyperLinkTexts, ErrorBoxTexts) {
    EXPECT_EQ(app::ReportErrorText(26), u"Unable to open hyperlink:\n\nA sharing violation occurred. ");
    EXPECT_EQ(app::ReportErrorText(4), u"Unable to open hyperlink:\n\nUnknown Error (4) occurred.");
    EXPECT_EQ(app::ReportErrorText(-7), u"Unable to open hyperlink:\n\nUnknown Error (-7) occurred.");
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

    pack.texts = {{u"1001", u"Fernwache"}};
    const app::AboutTexts withPack = app::CAboutDlg(&pack, u"2.1.1", {}).OnInitDialog();
    EXPECT_EQ(withPack.strTitle, u"Fernwache");
    EXPECT_EQ(withPack.strVersion, u"Fernwache V2.1.1");
    EXPECT_EQ(withPack.strApiVersion, u"API ver");

    pack.texts = {{u"1002", u"x"}};  // a pack without the product name
    EXPECT_EQ(app::CAboutDlg(&pack, u"2.1.1", {}).OnInitDialog().strVersion, u" V2.1.1");
}

}  // namespace
