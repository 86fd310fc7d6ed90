// Files by UTF-8 path on the system's own calls: names in any script, the
// whole-file replacement a reader never sees half done, and the bound on a
// private file's size.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/TempDir.h"

namespace {

bool Write(const std::string& path, const std::string& text) {
    FILE* file = platform::OpenFile(path, "wb");
    if (!file) return false;
    const bool whole = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && whole;
}

std::string Read(const std::string& path) {
    FILE* file = platform::OpenFile(path, "rb");
    if (!file) return "(missing)";
    char buffer[256];
    const std::string text(buffer, std::fread(buffer, 1, sizeof buffer, file));
    std::fclose(file);
    return text;
}

TEST(Files, NamesInAnyScriptListReplaceAndAge) {
    testsupport::CTempDir dir;
    const std::string russian = "Lang_Русский.ini";
    ASSERT_TRUE(Write(dir.File(russian), "pack"));
    ASSERT_TRUE(Write(dir.File("sub.ini"), "x"));
    ASSERT_TRUE(platform::ReplaceFileText(dir.File("status"), "old\n"));
    ASSERT_TRUE(platform::ReplaceFileText(dir.File("status"), "new\n")) << "over a file that is there";
    EXPECT_EQ(Read(dir.File("status")), "new\n");
    EXPECT_EQ(Read(dir.File(russian)), "pack");

    std::vector<std::string> names = platform::ListFiles(dir.Path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{russian, "status", "sub.ini"}));
    EXPECT_TRUE(platform::ListFiles(dir.File("missing")).empty());

    const std::optional<long long> age = platform::FileAgeSeconds(dir.File("status"));
    ASSERT_TRUE(age.has_value());
    EXPECT_LE(*age, 60);
    EXPECT_FALSE(platform::FileAgeSeconds(dir.File("missing")).has_value());
    EXPECT_FALSE(platform::ReplaceFileText("", "x"));
}

TEST(Files, APrivateFileIsReadUpToItsBoundAndAMissingOneIsNamed) {
    testsupport::CTempDir dir;
    std::string text, problem;
    EXPECT_FALSE(platform::ReadPrivateFile(dir.File("absent"), "configuration file", 100, text, problem));
    EXPECT_NE(problem.find("The configuration file " + dir.File("absent") + " cannot be read"), std::string::npos)
        << problem;
}

}  // namespace
