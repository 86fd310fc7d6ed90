// Language packs: the file format, read from real files, and the discovery
// of packs in a folder.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "platform/Text.h"
#include "service/app/DialogIds.h"
#include "service/app/LangTable.h"
#include "service/app/ServiceTexts.h"
#include "tests/app/PackBytes.h"
#include "tests/support/TempDir.h"

namespace {

using app::CLangTable;
using testsupport::PackBytes;

const std::u16string kHeader = u"[CurrentLang]\nLang=English\nVer=2.0\n[English]\n";

class LangTableTest : public ::testing::Test {
protected:
    CLangTable& Load(const std::string& bytes) {
        const std::string path = m_dir.File("Lang_Test.ini");
        EXPECT_TRUE(testsupport::WriteBytes(path, bytes));
        m_table.Load(path);
        return m_table;
    }
    std::u16string Text(const char16_t* key) {
        const std::u16string* t = m_table.GetText(key);
        return t ? *t : u"<none>";
    }
    testsupport::CTempDir m_dir;
    CLangTable m_table;
};

TEST_F(LangTableTest, ReadsTheHeaderAndTheLanguageSection) {
    Load(PackBytes(u"junk before\n" + kHeader + u"1001=Remote Service\n0996=Stop\\now\n1001=Again\n"));
    EXPECT_EQ(m_table.Language(), u"English");
    EXPECT_EQ(m_table.Version(), u"2.0");
    EXPECT_EQ(Text(u"1001"), u"Again");       // a repeated key replaces the earlier text
    EXPECT_EQ(Text(u"0996"), u"Stop\\now");   // no escapes
    EXPECT_EQ(Text(u"9999"), u"<none>");
    EXPECT_EQ(Text(u""), u"<none>");
}

TEST_F(LangTableTest, RejectsFilesWithoutTheMarkAndKeepsThePreviousPackWhenAFileIsMissing) {
    Load(PackBytes(kHeader + u"1001=A\n"));
    m_table.Load(m_dir.File("missing.ini"));
    EXPECT_EQ(Text(u"1001"), u"A");
    m_table.Load("");
    EXPECT_EQ(Text(u"1001"), u"A");

    Load(PackBytes(kHeader + u"1001=A\n", false));
    EXPECT_FALSE(m_table.HasPack());
    Load("\xEF\xBB\xBF[CurrentLang]\nLang=English\n[English]\n1001=A\n");  // UTF-8 with its own mark
    EXPECT_FALSE(m_table.HasPack());
    Load("");
    EXPECT_FALSE(m_table.HasPack());
}

TEST_F(LangTableTest, LinesAreTrimmedAndSpacesAroundTheEqualsSignBelongToKeyOrText) {
    Load(PackBytes(u"[CurrentLang]\r\n  Lang=English  \r\nVer=1\r\n[Eng\rlish]\r\n"
                   u"  1001 = Remote Service  \r\n\t0998=About\t\r\n1002==x=\r\n"));
    EXPECT_EQ(Text(u"1001"), u"<none>");
    EXPECT_EQ(Text(u"1001 "), u" Remote Service");
    EXPECT_EQ(Text(u"0998"), u"About");          // CR dropped wherever it is, blanks trimmed
    EXPECT_EQ(Text(u"1002"), u"=x=");
}

TEST_F(LangTableTest, CommentsShortLinesAndAnUnfinishedLastLineAreIgnored) {
    Load(PackBytes(kHeader + u"//1001=comment\n/1002=not a comment\nx\n\n=\n1003=kept\n1004=no line feed"));
    EXPECT_EQ(Text(u"//1001"), u"<none>");
    EXPECT_EQ(Text(u"/1002"), u"not a comment");
    EXPECT_EQ(Text(u"1003"), u"kept");
    EXPECT_EQ(Text(u"1004"), u"<none>");
    EXPECT_EQ(m_table.Count(), 2u);
}

TEST_F(LangTableTest, HeaderOrderDecidesWhatIsRead) {
    // The language section before the header, then the header: nothing.
    Load(PackBytes(u"[English]\n1001=A\n[CurrentLang]\nLang=English\n"));
    EXPECT_FALSE(m_table.HasPack());
    // A section line before any language name ends reading with an empty table.
    Load(PackBytes(u"[CurrentLang]\nVer=2\n[English]\n1001=A\n"));
    EXPECT_FALSE(m_table.HasPack());
    // Other sections are passed over; the next section line ends the language's.
    Load(PackBytes(u"[CurrentLang]\nLang=English\n[Deutsch]\n1001=D\n[English]\n1001=E\n[Other]\n1002=O\n"));
    EXPECT_EQ(Text(u"1001"), u"E");
    EXPECT_EQ(Text(u"1002"), u"<none>");
}

TEST_F(LangTableTest, LinesUpTo1023CharactersAreReadAndLongerOnesIgnoredWhole) {
    const std::u16string longest = u"1001=" + std::u16string(1023 - 5, u'a');
    const std::u16string tooLong = u"1002=" + std::u16string(1024 - 5, u'b');
    Load(PackBytes(kHeader + longest + u"\n" + tooLong + u"\n1003=after\n"));
    EXPECT_EQ(Text(u"1001").size(), 1018u);
    EXPECT_EQ(Text(u"1002"), u"<none>");
    EXPECT_EQ(Text(u"1003"), u"after");
}

TEST_F(LangTableTest, TheShippedPacksHaveEveryKeyTheWindowUses) {
    const char16_t* keys[] = {u"0001", u"0996", u"0998", u"0999", u"1001", u"1002", u"1003", u"1004", u"1005",
                              u"1006", u"1007", u"1008", u"1009", u"1010", u"1011", u"1012", u"1013", u"1014",
                              u"1100", u"1101", u"1102", u"1103", u"1104", u"1105", u"1106", u"1107", u"1112",
                              u"1135", u"1136", u"1137", u"1138"};
    const auto names = app::ListLanguagePacks(ZELT_RES_DIR);
    ASSERT_GE(names.size(), 3u);
    bool nonLatin = false;
    for (const auto& name : names) {
        CLangTable table;
        table.Load(std::string(ZELT_RES_DIR) + "/Lang_" + platform::Utf16ToUtf8(name) + ".ini");
        EXPECT_EQ(table.Language(), name);
        for (const char16_t* key : keys) {
            const std::u16string* text = table.GetText(key);
            EXPECT_TRUE(text && !text->empty()) << platform::Utf16ToUtf8(name) << " lacks " << platform::Utf16ToUtf8(key);
        }
        nonLatin = nonLatin || std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 0x24F; });
    }
    EXPECT_TRUE(nonLatin);
}

TEST(LanguageDiscovery, ListsPackFilesOnlySortedByTheWindowsList) {
    testsupport::CTempDir dir;
    for (const char* name : {"Lang_English.ini", "Lang_Deutsch.ini", "lang_lower.ini", "Other.ini", "Lang_.ini",
                             "Lang_Text.txt", "Lang_Two.part.ini"})
        ASSERT_TRUE(testsupport::WriteBytes(dir.File(name), "x"));
    ASSERT_EQ(mkdir(dir.File("Lang_Folder.ini").c_str(), 0700), 0);

    const std::vector<std::u16string> names = app::SortedLanguagePacks(dir.Path());
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], u"Deutsch");
    EXPECT_EQ(names[1], u"English");
    EXPECT_EQ(names[2], u"Two");
    EXPECT_TRUE(app::ListLanguagePacks("").empty());
    EXPECT_TRUE(app::ListLanguagePacks(dir.File("missing")).empty());
    EXPECT_EQ(app::LanguagePackPath("/p/", u"../x/y"), "");
}

}  // namespace
