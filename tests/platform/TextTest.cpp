#include <gtest/gtest.h>

#include <cstring>

#include "platform/Text.h"

namespace {

using platform::Utf16ToUtf8;
using platform::Utf16ToUtf8Buffer;
using platform::Utf8Prefix;
using platform::Utf8ToUtf16;

TEST(Text, RoundTripsEveryPlane) {
    const std::u16string text = u"Kamera Über 中文 \U0001F4F7 end";
    const std::string utf8 = Utf16ToUtf8(text);
    EXPECT_EQ(utf8, "Kamera \xC3\x9C" "ber \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x93\xB7 end");
    EXPECT_EQ(Utf8ToUtf16(utf8), text);
}

TEST(Text, MalformedInputBecomesReplacementWithoutLosingNeighbours) {
    // An unpaired high surrogate, then a lone low surrogate.
    const std::u16string broken = {u'a', 0xD800, u'b', 0xDC00, u'c'};
    EXPECT_EQ(Utf16ToUtf8(broken), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c");
    // A high surrogate at the very end.
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', 0xD83D}), "x\xEF\xBF\xBD");

    // A stray continuation byte, an overlong '/', an encoded surrogate and a sequence cut short.
    EXPECT_EQ(Utf8ToUtf16("a\x80z"), u"a\uFFFDz");
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF!"), u"\uFFFD\uFFFD!");
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80."), u"\uFFFD\uFFFD\uFFFD.");
    EXPECT_EQ(Utf8ToUtf16("ok\xE4\xB8"), u"ok\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD") << "above U+10FFFF";
}

TEST(Text, PrefixNeverCutsACharacter) {
    const std::string text = Utf16ToUtf8(u"aé中\U0001F4F7b");  // 1 + 2 + 3 + 4 + 1 bytes
    const size_t boundaries[] = {0, 1, 3, 6, 10, 11};
    for (size_t limit = 0; limit <= text.size() + 2; ++limit) {
        const std::string_view prefix = Utf8Prefix(text, limit);
        size_t expected = 0;
        for (size_t b : boundaries)
            if (b <= limit) expected = b;
        EXPECT_EQ(prefix.size(), expected) << "limit " << limit;
        EXPECT_EQ(Utf8ToUtf16(prefix).find(u'\uFFFD'), std::u16string::npos);
    }
}

TEST(Text, FixedBufferIsTerminatedAndZeroFilled) {
    char buffer[8];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(Utf16ToUtf8Buffer(u"abc", buffer, sizeof buffer), 3u);
    EXPECT_EQ(std::memcmp(buffer, "abc\0\0\0\0\0", 8), 0);

    // 7 bytes of room: three 2-byte characters fit, the fourth would be cut.
    EXPECT_EQ(Utf16ToUtf8Buffer(u"éééé", buffer, sizeof buffer), 6u);
    EXPECT_EQ(std::memcmp(buffer, "\xC3\xA9\xC3\xA9\xC3\xA9\0\0", 8), 0);

    buffer[0] = 'X';
    EXPECT_EQ(Utf16ToUtf8Buffer(u"abc", buffer, 0), 0u);
    EXPECT_EQ(buffer[0], 'X') << "nothing written into an empty buffer";
    EXPECT_EQ(Utf16ToUtf8Buffer(u"abc", buffer, 1), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(Text, ValidUtf8IsToldFromBrokenBytes) {
    EXPECT_TRUE(platform::IsValidUtf8(""));
    EXPECT_TRUE(platform::IsValidUtf8("plain \xC3\xA9 \xF0\x9F\x93\xB7"));
    EXPECT_FALSE(platform::IsValidUtf8("caf\xE9"));       // Latin-1
    EXPECT_FALSE(platform::IsValidUtf8("\xED\xA0\x80"));  // an encoded surrogate
    EXPECT_FALSE(platform::IsValidUtf8("cut \xE4\xB8"));
}

TEST(Text, LetterCaseFoldsAcrossAlphabets) {
    using platform::EqualsIgnoreCase;
    using platform::ToUpper;
    EXPECT_EQ(ToUpper(u"did-abc_09"), u"DID-ABC_09");
    EXPECT_EQ(ToUpper(u"àéîõüÿ ß µ ÷"), u"ÀÉÎÕÜŸ ß µ ÷") << "no mapping: stays";
    EXPECT_EQ(ToUpper(u"āăąćĺľłńŉŋźžſ"), u"ĀĂĄĆĹĽŁŃŉŊŹŽſ");
    EXPECT_EQ(ToUpper(u"αβγςωάέήίόύώ"), u"ΑΒΓΣΩΆΈΉΊΌΎΏ");
    EXPECT_EQ(ToUpper(u"камера ёђџ ѡ ґ ӂ ӑ"), u"КАМЕРА ЁЂЏ Ѡ Ґ Ӂ Ӑ");
    EXPECT_EQ(ToUpper(u"աբ ｚ"), u"ԱԲ Ｚ");
    EXPECT_TRUE(EqualsIgnoreCase(u"Software\\ZELT2", u"SOFTWARE\\zelt2"));
    EXPECT_FALSE(EqualsIgnoreCase(u"DID", u"DIDX"));
    EXPECT_FALSE(EqualsIgnoreCase(u"a", u"b"));
    // Surrogates are left alone, so pairs compare as they stand.
    EXPECT_TRUE(EqualsIgnoreCase(u"\U0001F4F7x", u"\U0001F4F7X"));
}

}  // namespace
