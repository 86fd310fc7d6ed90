#include <gtest/gtest.h>

#include <string>

#include "service/settings/EncoderSettings.h"
#include "tests/settings/TestRegistry.h"

namespace {

using namespace settings;

TEST(EncoderSettings, QualityModesMapToBitrates) {
    EXPECT_EQ(EncoderBitrateForQuality(0), 100);
    EXPECT_EQ(EncoderBitrateForQuality(1), 300);
    EXPECT_EQ(EncoderBitrateForQuality(2), 300);
    EXPECT_EQ(EncoderBitrateForQuality(3), 0);
    EXPECT_EQ(EncoderBitrateForQuality(-1), 0);
}

TEST(EncoderSettings, AMissingKeyIsCreatedWithTheSingleValue) {
    testsupport::CTestRegistry reg;
    CRegStore store(kRegStoreCreate, reg);
    uint32_t bitrate = 0;
    EXPECT_FALSE(ReadEncoderBitrate(reg, &bitrate));
    EXPECT_EQ(SetEncoderBitrate(store, 300), 0);
    const auto values = reg.Values(kEncoderKeyPath);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 1u);
    EXPECT_EQ(values->at(0).name, u"bitrate1000");
    EXPECT_EQ(values->at(0).type, kRegDword);
    EXPECT_EQ(values->at(0).data, (std::vector<uint8_t>{0x2C, 0x01, 0, 0}));
    EXPECT_FALSE(store.IsOpen());
    ASSERT_TRUE(ReadEncoderBitrate(reg, &bitrate));
    EXPECT_EQ(bitrate, 300u);
}

TEST(EncoderSettings, OnlyTheBitrateChangesAndTheSettingsCacheIsDropped) {
    testsupport::CTestRegistry reg;
    reg.PutDword(kEncoderKeyPath, u"BITRATE1000", 900);
    reg.PutDword(kEncoderKeyPath, u"fps1000", 25000);
    reg.Put(kEncoderKeyPath, u"odd", 0x42, {1, 2, 3});
    reg.PutString(u"Software\\ZELT2\\ZELT2Service", u"DID", u"ABC");
    const auto before = reg.Values(kEncoderKeyPath);
    CRegStore store(kRegStoreCreate, reg);
    ASSERT_TRUE(store.Open(u"Software\\ZELT2\\ZELT2Service", kRegCurrentUser, kKeyQueryValue | kKeySetValue, false));

    SetEncoderBitrate(store, EncoderBitrateForQuality(0));
    EXPECT_EQ(reg.m_nWrites, 1);
    const auto after = reg.Values(kEncoderKeyPath);
    ASSERT_EQ(after->size(), 3u);
    EXPECT_EQ(after->at(0).name, u"BITRATE1000");
    EXPECT_EQ(after->at(0).data, (std::vector<uint8_t>{100, 0, 0, 0}));
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(after->at(i).type, before->at(i).type);
        EXPECT_EQ(after->at(i).data, before->at(i).data);
    }
    EXPECT_EQ(store.Value(u"DID").m_nType, kRegNone) << "the settings' cache was dropped";
}

TEST(EncoderSettings, AKeyThatCannotBeOpenedIsSilent) {
    testsupport::CTestRegistry reg;
    reg.m_nFailOpen = kRegErrAccessDenied;
    CRegStore store(kRegStoreCreate, reg);
    EXPECT_EQ(SetEncoderBitrate(store, 300), 0);
    EXPECT_EQ(reg.m_nWrites, 0);
}

}  // namespace
