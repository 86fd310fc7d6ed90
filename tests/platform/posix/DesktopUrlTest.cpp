// Opening an address on a freedesktop desktop: the opener, and when that
// fails the default browser named by a desktop entry.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/Text.h"
#include "platform/posix/DesktopUrl.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {

using platform::posix::DefaultBrowserCommand;
using platform::posix::OpenUrlWith;
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
    platform::posix::UrlOpener Opener(const std::string& program) {
        platform::posix::UrlOpener opener;
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
    EXPECT_TRUE(OpenUrlWith(u"https://example.com/a b", Opener(workingOpener_)).Opened());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !ReadBytes(output_).empty(); }));
    EXPECT_EQ(ReadBytes(output_), "https://example.com/a b");
}

TEST_F(DesktopFixture, FailingOpenerFallsBackToTheDesktopEntrysBrowser) {
    NameBrowser("\"" + browser_ + "\" --new-window \"%u\" --after");
    const std::u16string target = u"https://example.com/x?a=1&b=\"2\" $(rm -rf ~)";
    EXPECT_TRUE(OpenUrlWith(target, Opener(failingOpener_)).Opened());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !ReadBytes(output_).empty(); }, 10000));
    // Cut at the placeholder; the target is one argument, taken literally.
    EXPECT_EQ(ReadBytes(output_), "[--new-window][" + platform::Utf16ToUtf8(target) + "]");

    // No opener at all on this desktop: the same road.
    std::remove(output_.c_str());
    EXPECT_TRUE(OpenUrlWith(u"x", Opener(dir_.File("no-such-opener"))).Opened());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !ReadBytes(output_).empty(); }, 10000));
    EXPECT_EQ(ReadBytes(output_), "[--new-window][x]");
}

TEST_F(DesktopFixture, BrowserCommandsAreBuiltAsTheDesktopEntrySays) {
    NameBrowser("\"browser\\s1\" --flag");  // no placeholder: the target goes at the end
    EXPECT_EQ(DefaultBrowserCommand(u"T"), (std::vector<std::string>{"browser 1", "--flag", "T"}));
    NameBrowser("browser %F %i");
    EXPECT_EQ(DefaultBrowserCommand(u"T"), (std::vector<std::string>{"browser", "T"}));
    // A command longer than its buffer is refused rather than cut.
    EXPECT_TRUE(DefaultBrowserCommand(std::u16string(600, u'a')).empty());
    // A browser that cannot be started: the reason.
    NameBrowser(dir_.File("missing-browser") + " %u");
    const platform::UrlOpenResult missing = OpenUrlWith(u"x", Opener(failingOpener_));
    EXPECT_EQ(missing.eOutcome, platform::UrlOpenResult::Outcome::kFailed);
    EXPECT_EQ(missing.eReason, platform::UrlFailure::kFileNotFound);
    // No browser named: the opener's own failure.
    std::remove((dir_.Path() + "/config/mimeapps.list").c_str());
    EXPECT_TRUE(DefaultBrowserCommand(u"T").empty());
    EXPECT_EQ(OpenUrlWith(u"x", Opener(failingOpener_)).eOutcome, platform::UrlOpenResult::Outcome::kNoHandler);
}

}  // namespace
