#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/settings/RegStore.h"
#include "tests/settings/TestRegistry.h"

namespace {

using namespace settings;

constexpr char16_t kSettings[] = u"Software\\ZELT2\\ZELT2Service";
constexpr char16_t kOther[] = u"Software\\GNU\\ffdshow_enc";
constexpr uint32_t kAccess = kKeyQueryValue | kKeySetValue;

std::vector<uint8_t> Units(std::u16string_view units) {
    std::vector<uint8_t> out(units.size() * 2);
    std::memcpy(out.data(), units.data(), out.size());
    return out;
}

class RegStoreTest : public ::testing::Test {
protected:
    bool Open(std::u16string_view path = kSettings, bool keepCache = false) {
        return m_store.Open(path, kRegCurrentUser, kAccess, keepCache);
    }
    std::u16string Text(std::u16string_view name) { return m_store.Value(name).GetString(); }

    testsupport::CTestRegistry m_reg;
    CRegStore m_store{kRegStoreCreate, m_reg};
};

TEST_F(RegStoreTest, AMissingNameIsAnEmptyValueAndNamesIgnoreCase) {
    m_reg.PutString(kSettings, u"DID", u"ABC-123");
    ASSERT_TRUE(Open());
    CRegValue& missing = m_store.Value(u"Password");
    EXPECT_EQ(missing.m_nType, kRegNone);
    EXPECT_EQ(missing.m_dwValue, 0u);
    EXPECT_EQ(Text(u"Password"), u"");
    EXPECT_EQ(m_reg.m_nWrites, 0);

    EXPECT_EQ(&m_store.Value(u"did"), &m_store.Value(u"Did"));
    EXPECT_EQ(Text(u"did"), u"ABC-123");
    m_store.Value(u"did").SetString(u"XYZ");
    EXPECT_EQ(m_reg.m_lastWrite.name, u"DID") << "written under the name it was read with";
    EXPECT_EQ(&m_store.Value(u"GRÖßE"), &m_store.Value(u"größe")) << "letters beyond ASCII fold too";
}

TEST_F(RegStoreTest, EachTypeReadsAsText) {
    m_reg.PutDword(kSettings, u"Max", 4294967295u);
    m_reg.Put(kSettings, u"Bin4", kRegBinary, {0x32, 0, 0, 0});
    m_reg.Put(kSettings, u"Bin2", kRegBinary, {0x32, 0});
    m_reg.Put(kSettings, u"Odd", kRegBinary, {0x32, 0, 0x33});
    m_reg.Put(kSettings, u"Multi", kRegMultiSz, Units(std::u16string_view(u"a\0b\0", 5)));
    m_reg.Put(kSettings, u"NoEnd", kRegSz, Units(u"ab"));
    m_reg.Put(kSettings, u"Short", kRegDword, {5, 1});
    ASSERT_TRUE(Open());
    EXPECT_EQ(Text(u"Max"), u"4294967295");
    EXPECT_EQ(Text(u"Bin4"), u"2");
    EXPECT_EQ(Text(u"Bin2"), u"2");
    EXPECT_EQ(Text(u"Odd"), u"2") << "a half unit is not read";
    EXPECT_EQ(std::u16string(m_store.Value(u"Multi").GetString(), 5), std::u16string(u"a\0b\0", 5));
    EXPECT_EQ(Text(u"NoEnd"), u"ab") << "a text stored without terminator still ends";
    EXPECT_EQ(m_store.Value(u"Short").m_dwValue, 0x105u) << "short data reads zero-extended";

    // A value keeps what it cached under earlier types.
    CRegValue& value = m_store.Value(u"Bin4");
    value.SetDword(42);
    EXPECT_EQ(value.Binary(), (std::vector<uint8_t>{0x32, 0, 0, 0}));
    EXPECT_EQ(Text(u"Bin4"), u"42");

    std::vector<uint8_t> big(5000, 'x');
    value.SetBinary(big.data(), big.size());
    EXPECT_EQ(Text(u"Bin4"), std::u16string(2047, static_cast<char16_t>(0x7878)));
}

TEST_F(RegStoreTest, StringsWriteTheWholeTextWithItsTerminator) {
    ASSERT_TRUE(Open());
    m_store.Value(u"Empty").SetString(u"");
    EXPECT_EQ(m_reg.m_lastWrite.type, kRegSz);
    EXPECT_EQ(m_reg.m_lastWrite.data, (std::vector<uint8_t>{0, 0})) << "an empty text is 2 bytes";

    const std::u16string longText(3000, u'L');
    m_store.Value(u"Long").SetString(longText);
    EXPECT_EQ(m_reg.m_lastWrite.data.size(), 6002u) << "the registry gets every unit";
    EXPECT_EQ(Text(u"Long"), longText.substr(0, 2047)) << "the cache keeps 2047";

    m_store.Value(u"Cut").SetString(std::u16string_view(u"ab\0cd", 5));
    EXPECT_EQ(m_reg.m_lastWrite.data, Units(std::u16string_view(u"ab", 3))) << "a text ends at its first zero";

    std::u16string edge(2046, u'e');
    edge += u"\U0001F4F7";
    m_store.Value(u"Edge").SetString(edge);
    EXPECT_EQ(Text(u"Edge"), std::u16string(2046, u'e')) << "a surrogate pair is never cut in half";
}

TEST_F(RegStoreTest, BinaryOfNoBytesChangesNothing) {
    ASSERT_TRUE(Open());
    CRegValue& value = m_store.Value(u"Mode");
    value.SetDword(7);
    const uint8_t byte = 1;
    value.SetBinary(&byte, 0);
    EXPECT_EQ(value.m_nType, kRegDword);
    EXPECT_EQ(m_reg.m_nWrites, 1);
    EXPECT_EQ(m_reg.Values(kSettings)->at(0).type, kRegDword);
}

TEST_F(RegStoreTest, MultiStringsSplitAtTerminatorsAndCopyWholeParts) {
    ASSERT_TRUE(Open());
    CRegValue& value = m_store.Value(u"M");
    const struct {
        std::u16string units;
        std::vector<std::u16string> parts;
    } cases[] = {
        {std::u16string(u"a\0b\0\0", 5), {u"a", u"b"}},
        {std::u16string(u"a\0", 2), {}},  // two units or fewer hold no part
        {std::u16string(u"a\0\0b\0\0", 6), {u"a", u"", u"b"}},
        {std::u16string(u"ab\0cd", 5), {u"ab", u"cd"}},  // no final terminator
    };
    for (const auto& c : cases) {
        value.SetMultiString(c.units.data(), c.units.size());
        EXPECT_EQ(value.Strings(), c.parts);
        EXPECT_EQ(m_reg.m_lastWrite.data, Units(c.units)) << "2 x count bytes as given";
    }
    char16_t buffer[8] = {u'x', u'x', u'x', u'x', u'x', u'x'};
    value.GetMultiString(buffer, 6);  // "cd" does not fit beside the final terminator
    EXPECT_EQ(std::u16string(buffer, 4), std::u16string(u"ab\0\0", 4));
    m_store.Value(u"T").SetString(u"text");
    m_store.Value(u"T").GetMultiString(buffer, 8);
    EXPECT_EQ(buffer[0], u'\0') << "another type gives an empty list";
}

TEST_F(RegStoreTest, WritesAfterCloseStayInTheCacheUntilTheKeyIsReadAgain) {
    m_reg.PutDword(kSettings, u"Mode", 5);
    ASSERT_TRUE(Open());
    m_store.Close();
    m_store.Value(u"Mode").SetDword(9);
    m_store.Value(u"OnlyCached").SetString(u"kept");
    EXPECT_EQ(m_store.Value(u"Mode").m_dwValue, 9u);
    EXPECT_EQ(m_reg.m_nWrites, 0);

    ASSERT_TRUE(Open(u"SOFTWARE\\zelt2\\zelt2service"));
    EXPECT_EQ(m_store.Value(u"Mode").m_dwValue, 5u) << "the registry's value read back over the cache";
    EXPECT_EQ(Text(u"OnlyCached"), u"kept") << "the same path keeps the cache";
    EXPECT_EQ(*m_store.Path(), kSettings);
    EXPECT_EQ(m_reg.m_nWrites, 0) << "reading never writes back";
}

TEST_F(RegStoreTest, SwitchingPathsDropsTheOtherKeysCache) {
    m_reg.PutDword(kOther, u"bitrate1000", 300);
    ASSERT_TRUE(Open());
    m_store.Value(u"Password").SetString(u"secret");
    ASSERT_TRUE(Open(kOther));
    EXPECT_EQ(m_store.CachedCount(), 1u);
    EXPECT_EQ(m_store.Value(u"bitrate1000").m_dwValue, 300u);
    EXPECT_EQ(m_store.Value(u"Password").m_nType, kRegNone);

    // Keep-cache opens without reading and without taking the path over.
    ASSERT_TRUE(Open(kSettings, true));
    EXPECT_EQ(*m_store.Path(), kOther);
    EXPECT_EQ(m_store.Value(u"Password").m_nType, kRegNone);
}

TEST_F(RegStoreTest, OpeningFailsCleanly) {
    ASSERT_TRUE(Open());
    EXPECT_EQ(m_reg.m_nLastAccess, kAccess | kKeyCreateSubKey) << "the create option asks to create";
    m_store.Value(u"DID").SetString(u"x");
    m_reg.m_nFailOpen = kRegErrAccessDenied;
    EXPECT_FALSE(Open(kOther));
    EXPECT_FALSE(m_store.IsOpen());
    EXPECT_EQ(m_store.CachedCount(), 0u) << "the old path's cache is gone";
    m_store.Value(u"bitrate1000").SetDword(1);
    EXPECT_EQ(m_reg.m_nWrites, 1) << "no key open, no write";

    m_reg.m_nFailOpen = 0;
    m_reg.m_nFailQuery = kRegErrIoFailed;
    EXPECT_FALSE(Open(kOther)) << "a key that cannot be read";

    CRegStore plain(0, m_reg);
    EXPECT_FALSE(plain.Open(u"Software\\Missing", kRegCurrentUser, kAccess, false));
    EXPECT_EQ(m_reg.m_nLastAccess, kAccess);
    EXPECT_FALSE(m_reg.Values(u"Software\\Missing")) << "without the create option nothing is created";
}

TEST_F(RegStoreTest, RefreshTakesOnlyWhatFitsItsBuffersAndWritesNothing) {
    m_reg.PutDword(kSettings, std::u16string(259, u'n'), 1);
    m_reg.PutDword(kSettings, std::u16string(260, u'N'), 2);
    m_reg.Put(kSettings, u"Fits", kRegBinary, std::vector<uint8_t>(2048, 7));
    m_reg.Put(kSettings, u"TooBig", kRegBinary, std::vector<uint8_t>(3000, 7));
    m_reg.Put(kSettings, u"Expand", 2, Units(std::u16string_view(u"%PATH%", 7)));
    ASSERT_TRUE(Open());
    EXPECT_EQ(m_store.CachedCount(), 2u);
    EXPECT_EQ(m_store.Value(std::u16string(259, u'N')).m_dwValue, 1u);
    EXPECT_EQ(m_store.Value(u"Fits").Binary().size(), 2048u);
    EXPECT_EQ(m_store.Value(u"TooBig").m_nType, kRegNone);
    EXPECT_EQ(m_store.Value(u"Expand").m_nType, kRegNone);
    EXPECT_EQ(m_store.Value(std::u16string(260, u'N')).m_nType, kRegNone);
    EXPECT_EQ(m_reg.m_nWrites, 0);
    EXPECT_EQ(m_store.Flags(), kRegStoreCreate) << "the loading bit is gone again";
}

TEST_F(RegStoreTest, AFailedWriteIsSilentAndCached) {
    ASSERT_TRUE(Open());
    m_reg.m_nFailSet = kRegErrIoFailed;
    m_store.Value(u"DID").SetString(u"cached");
    EXPECT_EQ(Text(u"DID"), u"cached");
    EXPECT_FALSE(m_reg.Values(kSettings)->size());
    // Silent to the setters, but a caller that asks learns of it, once.
    EXPECT_TRUE(m_store.TakeWriteFailure());
    EXPECT_FALSE(m_store.TakeWriteFailure());
    const uint8_t bytes[] = {1, 2};
    const char16_t parts[] = u"a\0";
    m_store.Value(u"Mode").SetDword(1);
    EXPECT_TRUE(m_store.TakeWriteFailure());
    m_store.Value(u"Bin").SetBinary(bytes, 2);
    EXPECT_TRUE(m_store.TakeWriteFailure());
    m_store.Value(u"Multi").SetMultiString(parts, 3);
    EXPECT_TRUE(m_store.TakeWriteFailure());
    // With no key open, a change goes to the cache only, as it should: no failure.
    m_reg.m_nFailSet = 0;
    m_store.Close();
    m_store.Value(u"DID").SetString(u"closed");
    EXPECT_FALSE(m_store.TakeWriteFailure());
}

}  // namespace
