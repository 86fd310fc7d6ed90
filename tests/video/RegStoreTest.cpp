#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/video/RegStore.h"
#include "tests/support/FakeRegistry.h"

namespace {

using namespace video;
using testsupport::CFakeRegistry;

constexpr char16_t kSettings[] = u"Software\\ZELT2\\ZELT2Service";
constexpr char16_t kOther[] = u"Software\\GNU\\ffdshow_enc";
constexpr uint32_t kAccess = kKeyQueryValue | kKeySetValue;

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list) { return list; }

std::vector<uint8_t> Utf16Bytes(std::u16string_view units) {
    std::vector<uint8_t> out(units.size() * 2);
    std::memcpy(out.data(), units.data(), out.size());
    return out;
}

class RegStoreTest : public ::testing::Test {
protected:
    bool OpenSettings(CRegStore& store, bool keepCache = false) {
        return store.Open(kSettings, kRegCurrentUser, kAccess, keepCache);
    }
    CFakeRegistry m_reg;
};

TEST_F(RegStoreTest, MissingNameGivesAnEmptyValueAndWritesNothing) {
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    CRegValue& value = store.Value(u"DID");
    EXPECT_EQ(value.m_nType, kRegNone);
    EXPECT_EQ(value.m_dwValue, 0u);
    EXPECT_EQ(std::u16string(value.GetString()), u"");
    EXPECT_EQ(m_reg.Count("SetValue"), 0u);
    EXPECT_EQ(m_reg.ValueCount(kSettings), 0u);
}

TEST_F(RegStoreTest, NamesIgnoreLetterCaseAndKeepTheirs) {
    m_reg.PutString(kSettings, u"DID", u"ABC-123");
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    CRegValue& lower = store.Value(u"did");
    EXPECT_EQ(&lower, &store.Value(u"Did"));
    EXPECT_EQ(std::u16string(lower.GetString()), u"ABC-123");
    EXPECT_EQ(store.CachedCount(), 1u);

    lower.SetString(u"XYZ");
    ASSERT_EQ(m_reg.m_calls.back().op, "SetValue");
    EXPECT_EQ(m_reg.m_calls.back().text, u"DID") << "written under the name it was read with";

    // Letters beyond ASCII fold too.
    store.Value(u"Größe").SetDword(1);
    EXPECT_EQ(&store.Value(u"GRÖßE"), &store.Value(u"größe"));
}

TEST_F(RegStoreTest, EachTypeReadsAsText) {
    m_reg.PutDword(kSettings, u"Max", 4294967295u);
    m_reg.Put(kSettings, u"Bin4", kRegBinary, Bytes({0x32, 0, 0, 0}));
    m_reg.Put(kSettings, u"Bin2", kRegBinary, Bytes({0x32, 0}));
    m_reg.Put(kSettings, u"Odd", kRegBinary, Bytes({0x32, 0, 0x33}));
    m_reg.Put(kSettings, u"Multi", kRegMultiSz, Utf16Bytes(std::u16string_view(u"a\0b\0", 5)));
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));

    EXPECT_EQ(std::u16string(store.Value(u"Max").GetString()), u"4294967295");
    EXPECT_EQ(store.Value(u"Max").m_dwValue, 4294967295u);
    EXPECT_EQ(std::u16string(store.Value(u"Bin4").GetString()), u"2");
    EXPECT_EQ(std::u16string(store.Value(u"Bin2").GetString()), u"2");
    EXPECT_EQ(std::u16string(store.Value(u"Odd").GetString()), u"2") << "a half unit is not read";

    const char16_t* multi = store.Value(u"Multi").GetString();
    EXPECT_EQ(std::u16string(multi, 5), std::u16string(u"a\0b\0", 5));
    EXPECT_EQ(store.Value(u"Multi").Strings(), (std::vector<std::u16string>{u"a", u"b"}));
}

TEST_F(RegStoreTest, BinaryTextIsCutAt2047Units) {
    CRegStore store(kRegStoreCreate, m_reg);
    std::vector<uint8_t> big(5000, 'x');
    store.Value(u"Big").SetBinary(big.data(), big.size());
    const std::u16string text = store.Value(u"Big").GetString();
    EXPECT_EQ(text.size(), 2047u);
    EXPECT_EQ(text[0], static_cast<char16_t>('x' | ('x' << 8)));
}

TEST_F(RegStoreTest, StringWritesTheWholeTextWithItsTerminator) {
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    store.Value(u"Empty").SetString(u"");
    ASSERT_EQ(m_reg.Count("SetValue"), 1u);
    EXPECT_EQ(m_reg.m_calls.back().type, kRegSz);
    EXPECT_EQ(m_reg.m_calls.back().data, Bytes({0, 0})) << "an empty text is 2 bytes";

    // The registry gets every unit; the cache keeps 2047 and the terminator.
    const std::u16string longText(3000, u'L');
    store.Value(u"Long").SetString(longText);
    EXPECT_EQ(m_reg.m_calls.back().data.size(), 6002u);
    EXPECT_EQ(std::u16string(store.Value(u"Long").GetString()), longText.substr(0, 2047));

    // A view with a zero inside ends there, as a C string would.
    store.Value(u"Cut").SetString(std::u16string_view(u"ab\0cd", 5));
    EXPECT_EQ(m_reg.m_calls.back().data, Utf16Bytes(std::u16string_view(u"ab", 3)));

    // A surrogate pair at the cache's edge is dropped whole, never cut in half.
    std::u16string edge(2046, u'e');
    edge += u"\U0001F4F7";
    store.Value(u"Edge").SetString(edge);
    EXPECT_EQ(std::u16string(store.Value(u"Edge").GetString()), std::u16string(2046, u'e'));
}

TEST_F(RegStoreTest, BinaryOfNoBytesChangesNothing) {
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    CRegValue& value = store.Value(u"Mode");
    value.SetDword(7);
    const size_t writes = m_reg.Count("SetValue");
    const uint8_t byte = 1;
    value.SetBinary(&byte, 0);
    EXPECT_EQ(value.m_nType, kRegDword);
    EXPECT_EQ(value.m_dwValue, 7u);
    EXPECT_EQ(m_reg.Count("SetValue"), writes);
    EXPECT_EQ(m_reg.Get(kSettings, u"Mode")->type, kRegDword);
}

TEST_F(RegStoreTest, MultiStringSplitsAtTerminators) {
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    CRegValue& value = store.Value(u"M");
    struct Case {
        std::u16string units;
        std::vector<std::u16string> parts;
    } cases[] = {
        {std::u16string(u"a\0b\0\0", 5), {u"a", u"b"}},
        {std::u16string(u"a\0", 2), {}},  // two units or fewer hold no part
        {std::u16string(u"a\0\0b\0\0", 6), {u"a", u"", u"b"}},
        {std::u16string(u"abc", 3), {u"abc"}},  // no terminator at all
        {std::u16string(u"ab\0cd", 5), {u"ab", u"cd"}},
    };
    for (const auto& c : cases) {
        value.SetMultiString(c.units.data(), c.units.size());
        EXPECT_EQ(value.m_nType, kRegMultiSz);
        EXPECT_EQ(value.Strings(), c.parts);
        EXPECT_EQ(m_reg.m_calls.back().data, Utf16Bytes(c.units)) << "2 x count bytes as given";
    }
}

TEST_F(RegStoreTest, MultiStringCopiesOnlyWholePartsThatFit) {
    CRegStore store(kRegStoreCreate, m_reg);
    CRegValue& value = store.Value(u"M");
    const std::u16string units(u"ab\0cd\0\0", 7);
    value.SetMultiString(units.data(), units.size());
    char16_t buffer[8];
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(std::u16string(value.GetMultiString(buffer, 7), 7), units);
    std::memset(buffer, 0x55, sizeof buffer);
    value.GetMultiString(buffer, 6);  // "cd" no longer fits with the final terminator
    EXPECT_EQ(std::u16string(buffer, 4), std::u16string(u"ab\0\0", 4));
    value.GetMultiString(buffer, 1);
    EXPECT_EQ(buffer[0], u'\0');

    store.Value(u"T").SetString(u"text");
    buffer[0] = u'x';
    store.Value(u"T").GetMultiString(buffer, 8);
    EXPECT_EQ(buffer[0], u'\0') << "another type gives an empty list";
}

TEST_F(RegStoreTest, AValueKeepsWhatItCachedUnderEarlierTypes) {
    CRegStore store(kRegStoreCreate, m_reg);
    CRegValue& value = store.Value(u"V");
    const uint8_t bytes[] = {1, 2, 3};
    value.SetBinary(bytes, 3);
    value.SetDword(42);
    EXPECT_EQ(value.m_nType, kRegDword);
    EXPECT_EQ(value.Binary(), Bytes({1, 2, 3}));
    EXPECT_EQ(std::u16string(value.GetString()), u"42");
}

TEST_F(RegStoreTest, WritesAfterCloseStayInTheCacheUntilTheKeyIsReadAgain) {
    m_reg.PutDword(kSettings, u"Mode", 5);
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    store.Close();
    EXPECT_FALSE(store.IsOpen());
    store.Value(u"Mode").SetDword(9);
    EXPECT_EQ(store.Value(u"Mode").m_dwValue, 9u);
    EXPECT_EQ(m_reg.Count("SetValue"), 0u);

    ASSERT_TRUE(OpenSettings(store));
    EXPECT_EQ(store.Value(u"Mode").m_dwValue, 5u) << "the registry's value read back over the cache";
}

TEST_F(RegStoreTest, ReopeningTheSamePathKeepsTheCacheAndRereads) {
    m_reg.PutString(kSettings, u"DID", u"one");
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    store.Close();
    store.Value(u"OnlyCached").SetString(u"kept");
    m_reg.PutString(kSettings, u"DID", u"two");

    ASSERT_TRUE(store.Open(u"SOFTWARE\\zelt2\\zelt2service", kRegCurrentUser, kAccess, false));
    EXPECT_EQ(std::u16string(store.Value(u"DID").GetString()), u"two");
    EXPECT_EQ(std::u16string(store.Value(u"OnlyCached").GetString()), u"kept");
    EXPECT_EQ(*store.Path(), kSettings) << "the path as first given";
    EXPECT_EQ(m_reg.Count("SetValue"), 0u) << "reading never writes back";
}

TEST_F(RegStoreTest, SwitchingPathsDropsTheOtherKeysCache) {
    m_reg.PutString(kSettings, u"DID", u"one");
    m_reg.PutDword(kOther, u"bitrate1000", 300);
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    store.Value(u"Password").SetString(u"secret");
    ASSERT_TRUE(store.Open(kOther, kRegCurrentUser, kAccess, false));
    EXPECT_EQ(store.CachedCount(), 1u);
    EXPECT_EQ(store.Value(u"bitrate1000").m_dwValue, 300u);
    EXPECT_EQ(store.Value(u"DID").m_nType, kRegNone);
    EXPECT_EQ(*store.Path(), kOther);
}

TEST_F(RegStoreTest, KeepCacheOpensWithoutReading) {
    m_reg.PutString(kSettings, u"DID", u"one");
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store, true));
    EXPECT_EQ(m_reg.Count("QueryValueCount"), 0u);
    EXPECT_EQ(store.CachedCount(), 0u);
    EXPECT_FALSE(store.Path().has_value()) << "the path is not taken over either";
    store.Value(u"DID").SetString(u"two");
    EXPECT_EQ(m_reg.Count("SetValue"), 1u);
}

TEST_F(RegStoreTest, CreateOptionDecidesHowTheKeyIsOpened) {
    CRegStore creating(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(creating));
    ASSERT_EQ(m_reg.m_calls.front().op, "CreateKey");
    EXPECT_EQ(m_reg.m_calls.front().access, kAccess | kKeyCreateSubKey);

    m_reg.m_calls.clear();
    CRegStore plain(0, m_reg);
    EXPECT_FALSE(plain.Open(u"Software\\Missing", kRegCurrentUser, kAccess, false));
    ASSERT_EQ(m_reg.m_calls.front().op, "OpenKey");
    EXPECT_EQ(m_reg.m_calls.front().access, kAccess);
    EXPECT_FALSE(m_reg.HasKey(u"Software\\Missing"));
    EXPECT_TRUE(plain.Open(kSettings, kRegCurrentUser, kAccess, false));
}

TEST_F(RegStoreTest, AFailedOpenLeavesTheStoreClosedWithTheNewPath) {
    m_reg.PutString(kSettings, u"DID", u"one");
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    m_reg.m_nFailCreate = kRegErrAccessDenied;
    EXPECT_FALSE(store.Open(kOther, kRegCurrentUser, kAccess, false));
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(store.CachedCount(), 0u) << "the old path's cache is gone";
    EXPECT_EQ(m_reg.OpenHandles(), 0) << "the previous key was closed";
    store.Value(u"bitrate1000").SetDword(1);
    EXPECT_EQ(m_reg.Count("SetValue"), 0u);

    m_reg.m_nFailCreate = 0;
    m_reg.m_nFailQuery = kRegErrIoFailed;
    EXPECT_FALSE(store.Open(kOther, kRegCurrentUser, kAccess, false)) << "a key that cannot be read";
}

TEST_F(RegStoreTest, RefreshTakesOnlyWhatFitsItsBuffers) {
    m_reg.Put(kSettings, std::u16string(259, u'n'), kRegDword, Bytes({1, 0, 0, 0}));
    m_reg.Put(kSettings, std::u16string(260, u'N'), kRegDword, Bytes({2, 0, 0, 0}));
    m_reg.Put(kSettings, u"Fits", kRegBinary, std::vector<uint8_t>(2048, 7));
    m_reg.Put(kSettings, u"TooBig", kRegBinary, std::vector<uint8_t>(3000, 7));
    m_reg.Put(kSettings, u"Expand", 2, Utf16Bytes(std::u16string_view(u"%PATH%", 7)));
    m_reg.Put(kSettings, u"NoEnd", kRegSz, Utf16Bytes(u"ab"));
    m_reg.Put(kSettings, u"Short", kRegDword, Bytes({5, 1}));
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));

    EXPECT_EQ(store.Value(std::u16string(259, u'N')).m_dwValue, 1u);
    EXPECT_EQ(store.Value(u"Fits").Binary().size(), 2048u);
    EXPECT_EQ(store.Value(u"NoEnd").m_nType, kRegSz);
    EXPECT_EQ(std::u16string(store.Value(u"NoEnd").GetString()), u"ab") << "a text without terminator ends";
    EXPECT_EQ(store.Value(u"Short").m_dwValue, 0x105u) << "short data reads zero-extended";
    const size_t read = store.CachedCount();
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(store.Value(u"TooBig").m_nType, kRegNone);
    EXPECT_EQ(store.Value(u"Expand").m_nType, kRegNone);
    EXPECT_EQ(store.Value(std::u16string(260, u'N')).m_nType, kRegNone);
    EXPECT_EQ(m_reg.Count("SetValue"), 0u);
    EXPECT_EQ(store.Flags(), kRegStoreCreate) << "the loading bit is gone again";
}

TEST_F(RegStoreTest, FailedWritesAreSilentAndCached) {
    CRegStore store(kRegStoreCreate, m_reg);
    ASSERT_TRUE(OpenSettings(store));
    m_reg.m_nFailSet = kRegErrIoFailed;
    store.Value(u"DID").SetString(u"cached");
    EXPECT_EQ(std::u16string(store.Value(u"DID").GetString()), u"cached");
    EXPECT_EQ(m_reg.Get(kSettings, u"DID"), nullptr);
}

TEST_F(RegStoreTest, LongNamesAreKeptAt2048UnitsAndStillFound) {
    CRegStore store(kRegStoreCreate, m_reg);
    const std::u16string name(3000, u'k');
    CRegValue& value = store.Value(name);
    EXPECT_EQ(value.Name().size(), 2048u);
    EXPECT_EQ(&store.Value(name), &value);
    EXPECT_EQ(store.CachedCount(), 1u);
}

TEST_F(RegStoreTest, DestructionClosesTheKey) {
    {
        CRegStore store(kRegStoreCreate, m_reg);
        ASSERT_TRUE(OpenSettings(store));
        EXPECT_EQ(m_reg.OpenHandles(), 1);
    }
    EXPECT_EQ(m_reg.OpenHandles(), 0);
}

}  // namespace
