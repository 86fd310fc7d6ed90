#include <gtest/gtest.h>

#include <time.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "service/settings/hivefile/HiveText.h"

namespace {

using namespace settings::hive;

std::vector<uint8_t> Units(std::u16string_view units) {
    std::vector<uint8_t> out(units.size() * 2);
    std::memcpy(out.data(), units.data(), out.size());
    return out;
}

std::vector<uint8_t> Sz(std::u16string_view text) {
    std::u16string terminated(text);
    terminated += u'\0';
    return Units(terminated);
}

// The file's text in UTF-16, with a byte-order mark and CR LF, as Windows exports it.
std::string AsWindowsExport(std::string_view utf8, bool bigEndian = false, bool mark = true) {
    std::u16string text;
    for (char16_t c : platform::Utf8ToUtf16(utf8)) {
        if (c == u'\n') text += u'\r';
        text += c;
    }
    std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char16_t c : text) {
        const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

void ExpectSameValues(const Hive& a, const Hive& b) {
    ASSERT_EQ(a.keys.size(), b.keys.size());
    for (size_t k = 0; k < a.keys.size(); ++k) {
        EXPECT_EQ(a.keys[k].path, b.keys[k].path);
        ASSERT_EQ(a.keys[k].values.size(), b.keys[k].values.size()) << k;
        for (size_t v = 0; v < a.keys[k].values.size(); ++v) {
            const HiveValue& x = a.keys[k].values[v];
            const HiveValue& y = b.keys[k].values[v];
            EXPECT_EQ(x.name, y.name);
            EXPECT_EQ(x.type, y.type) << platform::Utf16ToUtf8(x.name);
            EXPECT_EQ(x.data, y.data) << platform::Utf16ToUtf8(x.name);
        }
    }
}

Hive EveryKindOfValue() {
    Hive hive;
    HiveKey& key = hive.AddKey(u"HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service");
    auto set = [&](std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
        key.Set(name, type, data.data(), data.size());
    };
    set(u"DID", 1, Sz(u"ABC-123"));
    set(u"Quoted \"name\" with \\ back\\slashes", 1, Sz(u"C:\\Program Files\\\"x\"\\"));
    set(u"Ünïcödé 名前 \U0001F4F7", 1, Sz(u"Grüße, 中文, \U0001F4F7, tab\there"));
    set(u"Empty", 1, Sz(u""));
    set(u"", 1, Sz(u"the default value"));
    set(u"Lines", 1, Sz(u"one\r\ntwo"));                       // no plain form
    set(u"NoTerminator", 1, Units(u"ab"));
    set(u"ZeroInside", 1, Units(std::u16string_view(u"a\0b\0", 4)));
    set(u"OddBytes", 1, {0x41, 0x00, 0x42});
    set(u"NoBytes", 1, {});
    set(u"LoneSurrogate", 1, Units(std::u16string_view(u"x\xD800y\0", 4)));
    set(u"Dword", 4, {0x2C, 0x01, 0x00, 0x00});
    set(u"DwordMax", 4, {0xFF, 0xFF, 0xFF, 0xFF});
    set(u"ShortDword", 4, {0x01, 0x02});
    set(u"BinaryEmpty", 3, {});
    set(u"BinaryOne", 3, {0xAB});
    std::vector<uint8_t> many(300);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i * 7);
    set(u"BinaryWrapped", 3, many);
    set(u"Multi", 7, Units(std::u16string_view(u"a\0b c\0\xE9\0\0", 9)));
    set(u"Expand", 2, Sz(u"%HOME%\\x"));
    set(u"Qword", 11, {1, 2, 3, 4, 5, 6, 7, 8});
    set(u"OddType", 0x12345678, {9});
    set(std::u16string(300, u'n'), 3, many);  // a name wider than a line

    HiveKey& other = hive.AddKey(u"HKEY_CURRENT_USER\\Software\\Odd]Key [name]\\Ключ");
    other.Set(u"x", 4, many.data(), 4);
    hive.AddKey(u"HKEY_CURRENT_USER\\Software\\EmptyKey");
    return hive;
}

TEST(HiveText, EveryTypeRoundTripsByteForByte) {
    const Hive original = EveryKindOfValue();
    const std::string text = FormatHive(original);
    Hive read;
    const ParseReport report = ParseHive(text, read);
    EXPECT_TRUE(report.clean) << report.firstLine << ": " << report.firstProblem << "\n" << text;
    ExpectSameValues(original, read);
    EXPECT_EQ(FormatHive(read), text) << "writing what was read gives the same text";
    EXPECT_TRUE(platform::IsValidUtf8(text));
    size_t longest = 0, start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (text.compare(start, 4, "\"nnn") != 0) longest = std::max(longest, end - start);
    }
    EXPECT_LE(longest, 80u) << "hex data is wrapped as registry editors do";
}

TEST(HiveText, WritesTheRegistryEditorsForms) {
    Hive hive;
    HiveKey& key = hive.AddKey(u"HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service");
    const auto did = Sz(u"A\"B\\C");
    key.Set(u"DID", 1, did.data(), did.size());
    const uint8_t mode[] = {0x2C, 0x01, 0, 0};
    key.Set(u"Mode", 4, mode, 4);
    const uint8_t bin[] = {0, 0xFF};
    key.Set(u"Bin", 3, bin, 2);
    const auto multi = Units(std::u16string_view(u"a\0\0", 3));
    key.Set(u"Multi", 7, multi.data(), multi.size());
    const auto def = Sz(u"é");
    key.Set(u"", 1, def.data(), def.size());
    EXPECT_EQ(FormatHive(hive),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n"
              "\"DID\"=\"A\\\"B\\\\C\"\n"
              "\"Mode\"=dword:0000012c\n"
              "\"Bin\"=hex:00,ff\n"
              "\"Multi\"=hex(7):61,00,00,00,00,00\n"
              "@=\"\xC3\xA9\"\n"
              "\n");
}

const char kExport[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software\\GNU\\ffdshow_enc]\n"
    "\"bitrate1000\"=dword:0000012C\n"
    "\"name\"=\"Caf\xC3\xA9 \\\"x\\\"\"\n"
    "\"blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
    "  18,19,1a\n"
    "\"list\"=hex(7):61,00,62,00,00,00,00,00\n"
    "\n";

TEST(HiveText, ReadsFilesInEveryEncodingTheyArriveIn) {
    Hive expected;
    ASSERT_TRUE(ParseHive(kExport, expected).clean);
    ASSERT_EQ(expected.keys.size(), 1u);
    ASSERT_EQ(expected.keys[0].values.size(), 4u);
    EXPECT_EQ(expected.keys[0].values[0].data, (std::vector<uint8_t>{0x2C, 0x01, 0, 0}));
    EXPECT_EQ(expected.keys[0].values[1].data, Sz(u"Café \"x\""));
    EXPECT_EQ(expected.keys[0].values[2].data.size(), 26u);
    EXPECT_EQ(expected.keys[0].values[3].type, 7u);

    const std::string forms[] = {
        AsWindowsExport(kExport),                // UTF-16LE with a mark and CR LF: what Windows writes
        AsWindowsExport(kExport, true),          // UTF-16BE with a mark
        AsWindowsExport(kExport, false, false),  // UTF-16LE without a mark
        std::string("\xEF\xBB\xBF") + kExport,   // UTF-8 with a mark
    };
    for (const auto& bytes : forms) {
        Hive read;
        const ParseReport report = ParseHive(bytes, read);
        EXPECT_TRUE(report.clean) << report.firstLine << ": " << report.firstProblem;
        ExpectSameValues(expected, read);
    }
}

TEST(HiveText, SectionsAndValuesMergeWithoutRegardToCaseAndCommentsStay) {
    const char text[] =
        "Windows Registry Editor Version 5.00\n"
        "; kept with the key\n"
        "[HKEY_CURRENT_USER\\Software\\A]\n"
        "  ; kept with the value\n"
        "\"Did\"=\"first\"\n"
        "\"keep\"=dword:00000001\n"
        "[hkey_current_user\\SOFTWARE\\a]\n"
        "\"DID\"=\"second\"\n"
        "\"gone\"=\"x\"\n"
        "\"GONE\"=-\n"
        "[HKEY_CURRENT_USER\\Software\\B]\n"
        "\"v\"=\"x\"\n"
        "[HKEY_CURRENT_USER\\Software\\B\\Child]\n"
        "[-HKEY_CURRENT_USER\\SOFTWARE\\b]\n";
    Hive hive;
    ASSERT_TRUE(ParseHive(text, hive).clean);
    ASSERT_EQ(hive.keys.size(), 1u);
    EXPECT_EQ(hive.keys[0].path, u"HKEY_CURRENT_USER\\Software\\A");
    ASSERT_EQ(hive.keys[0].values.size(), 2u);
    EXPECT_EQ(hive.keys[0].values[0].name, u"Did") << "the case first written";
    EXPECT_EQ(hive.keys[0].values[0].data, Sz(u"second")) << "the data last written";
    EXPECT_TRUE(hive.KeyExists(u"HKEY_CURRENT_USER\\software"));
    EXPECT_FALSE(hive.KeyExists(u"HKEY_CURRENT_USER\\Software\\B"));
    EXPECT_FALSE(hive.KeyExists(u"HKEY_CURRENT_USER\\Soft"));
    EXPECT_EQ(FormatHive(hive),
              "Windows Registry Editor Version 5.00\n\n"
              "; kept with the key\n"
              "[HKEY_CURRENT_USER\\Software\\A]\n"
              "  ; kept with the value\n"
              "\"Did\"=\"second\"\n"
              "\"keep\"=dword:00000001\n\n");
}

TEST(HiveText, MalformedLinesAreCountedAndTheRestIsKept) {
    const std::string good = "[HKEY_CURRENT_USER\\Good]\n\"ok\"=\"yes\"\n";
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"no header", good},
        {"cut in a text", std::string(kHeader) + "\n" + good + "\"cut\"=\"abc"},
        {"cut in hex data", std::string(kHeader) + "\n" + good + "\"cut\"=hex:01,02,\\\n"},
        {"hex cut before a key", std::string(kHeader) + "\n\"x\"=dword:1\n[HKEY_CURRENT_USER\\Cut]\n\"b\"=hex:01,\\\n" + good},
        {"value outside a key", std::string(kHeader) + "\n\"lost\"=\"x\"\n" + good},
        {"nine digits", std::string(kHeader) + "\n" + good + "\"d\"=dword:123456789\n"},
        {"bad byte", std::string(kHeader) + "\n" + good + "\"b\"=hex:01,zz\n"},
        {"no bracket", std::string(kHeader) + "\n[HKEY_CURRENT_USER\\Broken\n" + good},
        {"empty part", std::string(kHeader) + "\n[HKEY_CURRENT_USER\\\\Empty]\n\"x\"=\"y\"\n" + good},
        {"garbage line", std::string(kHeader) + "\n" + good + "garbage\n"},
        {"NUL bytes", std::string(kHeader) + "\n" + good + std::string("\"a\0b\"=\"c\"\n", 10)},
        {"Latin-1", std::string(kHeader) + "\n" + good + "\"caf\xE9\"=\"x\"\n"},
        {"odd UTF-16", AsWindowsExport(std::string(kHeader) + "\n" + good) + "x"},
    };
    for (const auto& c : cases) {
        Hive hive;
        const ParseReport report = ParseHive(c.text, hive);
        EXPECT_FALSE(report.clean) << c.what;
        EXPECT_FALSE(report.firstProblem.empty()) << c.what;
        HiveKey* key = hive.FindKey(u"HKEY_CURRENT_USER\\Good");
        ASSERT_NE(key, nullptr) << c.what;
        ASSERT_NE(key->Find(u"ok"), nullptr) << c.what;
        EXPECT_EQ(key->Find(u"ok")->data, Sz(u"yes")) << c.what;
        EXPECT_EQ(key->Find(u"cut"), nullptr) << c.what << ": a value cut short is not taken in part";
    }
    // A lone backslash (a hand-typed path) is noted, and the text kept as typed.
    Hive hive;
    EXPECT_FALSE(ParseHive(std::string(kHeader) + "\n[HKEY_CURRENT_USER\\P]\n\"dir\"=\"C:\\Temp\"\n", hive).clean);
    EXPECT_EQ(hive.keys.at(0).values.at(0).data, Sz(u"C:\\Temp"));
}

TEST(HiveText, DamagedFilesNeverCrashTheReader) {
    const std::string text = FormatHive(EveryKindOfValue());
    // Every cut of the file, and of its UTF-16 form.
    const std::string wide = AsWindowsExport(text);
    for (size_t cut = 0; cut <= text.size(); cut += 5) {
        Hive hive;
        ParseHive(std::string_view(text).substr(0, cut), hive);
    }
    for (size_t cut = 0; cut <= wide.size(); cut += 11) {
        Hive hive;
        ParseHive(std::string_view(wide).substr(0, cut), hive);
    }
    // Random bytes, and the file with random bytes changed.
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        std::string bytes = round % 2 ? text : std::string(1 + random() % 4000, '\0');
        const size_t changes = round % 2 ? 1 + random() % 20 : bytes.size();
        for (size_t i = 0; i < changes; ++i) bytes[random() % bytes.size()] = static_cast<char>(random());
        Hive hive;
        const ParseReport report = ParseHive(bytes, hive);
        // Whatever was read can be written and read again cleanly.
        Hive again;
        EXPECT_TRUE(ParseHive(FormatHive(hive), again).clean) << round;
        if (round % 2 == 0) {
            EXPECT_FALSE(report.clean);
        }
    }
}

}  // namespace

namespace {

// Processor time, so that a busy machine does not count against the reader.
double SecondsToParse(const std::string& text, Hive& hive) {
    const auto now = [] {
        timespec t;
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
    };
    const double start = now();
    ParseHive(text, hive);
    return now() - start;
}

TEST(HiveText, ReadingTakesTimeInProportionToTheFile) {
    // Many keys, many values in one key, and many keys removed again: each
    // once took seconds to minutes; a linear reader needs milliseconds. The
    // limit is generous for slow (sanitized, shared) machines.
    constexpr int kCount = 32000;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr double kLimitSeconds = 8.0;
#else
    constexpr double kLimitSeconds = 2.0;
#endif
    std::string keys = std::string(kHeader) + "\n";
    std::string values = keys + "[HKEY_CURRENT_USER\\Software\\Many]\n";
    std::string removed = keys;
    for (int i = 0; i < kCount; ++i) {
        const std::string n = std::to_string(i);
        keys += "[HKEY_CURRENT_USER\\Software\\K" + n + "]\n\"v\"=dword:00000001\n";
        values += "\"value" + n + "\"=\"" + n + "\"\n";
        removed += "[HKEY_CURRENT_USER\\Software\\R" + n + "\\Sub]\n\"v\"=\"x\"\n";
        if (i % 2) removed += "[-HKEY_CURRENT_USER\\Software\\R" + std::to_string(i - 1) + "]\n";
    }
    values += "\"VALUE7\"=-\n";  // removed without regard to case
    Hive a, b, c;
    EXPECT_LT(SecondsToParse(keys, a), kLimitSeconds);
    EXPECT_LT(SecondsToParse(values, b), kLimitSeconds);
    EXPECT_LT(SecondsToParse(removed, c), kLimitSeconds);
    EXPECT_EQ(a.keys.size(), static_cast<size_t>(kCount));
    ASSERT_EQ(b.keys.size(), 1u);
    EXPECT_EQ(b.keys[0].values.size(), static_cast<size_t>(kCount - 1));
    EXPECT_EQ(b.keys[0].values[7].name, u"value8");
    ASSERT_EQ(c.keys.size(), static_cast<size_t>(kCount / 2));
    EXPECT_EQ(c.keys[0].path, u"HKEY_CURRENT_USER\\Software\\R1\\Sub");
}

TEST(HiveText, CommentsAreKeptUnitForUnit) {
    // A comment in a file from Windows may hold a unit that UTF-8 cannot
    // carry; blanks at a comment's end are part of it too.
    const std::u16string text = std::u16string(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                                u"; lone \xD800 surrogate\r\n"
                                                u"[HKEY_CURRENT_USER\\Software\\A]\r\n"
                                                u"  ; trailing blanks \t \r\n"
                                                u"\"v\"=\"x\"\r\n");
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) bytes += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    Hive read;
    ASSERT_TRUE(ParseHive(bytes, read).clean);
    ASSERT_EQ(read.keys.size(), 1u);
    EXPECT_EQ(read.keys[0].comments, std::vector<std::u16string>{u"; lone \xD800 surrogate"});
    EXPECT_EQ(read.keys[0].values.at(0).comments, std::vector<std::u16string>{u"  ; trailing blanks \t "});

    const std::string written = FormatHive(read);
    EXPECT_EQ(written.substr(0, 2), "\xFF\xFE") << "written as UTF-16, which can hold the unit";
    Hive again;
    ASSERT_TRUE(ParseHive(written, again).clean);
    EXPECT_EQ(again.keys.at(0).comments, read.keys[0].comments);
    EXPECT_EQ(again.keys[0].values.at(0).comments, read.keys[0].values[0].comments);
    EXPECT_EQ(FormatHive(again), written);

    // Without such a unit the file stays UTF-8, with its comments byte for byte.
    const std::string utf8 = std::string(kHeader) + "\n\n;  caf\xC3\xA9 \n[HKEY_CURRENT_USER\\B]\n\n";
    Hive plain;
    ASSERT_TRUE(ParseHive(utf8, plain).clean);
    EXPECT_EQ(FormatHive(plain), utf8);
}

}  // namespace
