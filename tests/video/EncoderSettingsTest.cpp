#include <gtest/gtest.h>

#include <string>

#include "service/video/EncoderSettings.h"
#include "service/video/hivefile/HiveFileRegistry.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/TempDir.h"

namespace {

using namespace video;
using testsupport::CFakeRegistry;

constexpr char16_t kSettings[] = u"Software\\ZELT2\\ZELT2Service";

TEST(EncoderSettings, QualityModesMapToBitrates) {
    EXPECT_EQ(EncoderBitrateForQuality(0), 100);
    EXPECT_EQ(EncoderBitrateForQuality(1), 300);
    EXPECT_EQ(EncoderBitrateForQuality(2), 300);
    EXPECT_EQ(EncoderBitrateForQuality(3), 0);
    EXPECT_EQ(EncoderBitrateForQuality(-1), 0);
}

TEST(EncoderSettings, CreatesTheKeyWithItsSingleValue) {
    CFakeRegistry reg;
    CRegStore store(kRegStoreCreate, reg);
    EXPECT_EQ(SetEncoderBitrate(store, 300), 0);
    ASSERT_TRUE(reg.HasKey(kEncoderKeyPath));
    ASSERT_EQ(reg.ValueCount(kEncoderKeyPath), 1u);
    const auto* value = reg.Get(kEncoderKeyPath, u"bitrate1000");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, kRegDword);
    EXPECT_EQ(value->data, (std::vector<uint8_t>{0x2C, 0x01, 0, 0}));
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(reg.OpenHandles(), 0);
}

TEST(EncoderSettings, OtherValuesAndTheSettingsCacheAreNotCarriedOver) {
    CFakeRegistry reg;
    reg.PutDword(kEncoderKeyPath, u"BITRATE1000", 900);
    reg.PutDword(kEncoderKeyPath, u"fps1000", 25000);
    reg.PutString(kEncoderKeyPath, u"codec", u"h264");
    reg.PutString(kSettings, u"DID", u"ABC");
    CRegStore store(kRegStoreCreate, reg);
    ASSERT_TRUE(store.Open(kSettings, kRegCurrentUser, kKeyQueryValue | kKeySetValue, false));

    SetEncoderBitrate(store, 100);
    EXPECT_EQ(reg.Get(kEncoderKeyPath, u"bitrate1000")->data, (std::vector<uint8_t>{100, 0, 0, 0}));
    EXPECT_EQ(reg.Get(kEncoderKeyPath, u"bitrate1000")->name, u"BITRATE1000");
    EXPECT_EQ(reg.ValueCount(kEncoderKeyPath), 3u);
    EXPECT_EQ(reg.Count("SetValue"), 1u) << "only the bitrate is written";
    EXPECT_EQ(store.Value(u"DID").m_nType, kRegNone) << "the settings' cache was dropped";
}

TEST(EncoderSettings, AKeyThatCannotBeOpenedIsSilent) {
    CFakeRegistry reg;
    reg.m_nFailCreate = kRegErrAccessDenied;
    CRegStore store(kRegStoreCreate, reg);
    EXPECT_EQ(SetEncoderBitrate(store, 300), 0);
    EXPECT_EQ(reg.Count("SetValue"), 0u);
    EXPECT_FALSE(reg.HasKey(kEncoderKeyPath));
}

TEST(EncoderSettings, TheEncoderReadsTheBitrateFromTheHiveFile) {
    testsupport::CTempDir dir;
    CHiveFileRegistry reg(dir.Path());
    uint32_t bitrate = 0;
    EXPECT_FALSE(ReadEncoderBitrate(reg, &bitrate)) << "nothing stored yet";

    // Another setting of the encoder, stored before we touch its key.
    HREGKEY key = nullptr;
    ASSERT_EQ(reg.CreateKey(kRegCurrentUser, kEncoderKeyPath, kKeySetValue, &key), kRegOk);
    const uint8_t keyint[] = {250, 0, 0, 0};
    ASSERT_EQ(reg.SetValue(key, u"maxKeyInterval", kRegDword, keyint, 4), kRegOk);
    reg.CloseKey(key);

    CRegStore store(kRegStoreCreate, reg);
    for (int mode : {1, 0}) {
        SetEncoderBitrate(store, EncoderBitrateForQuality(mode));
        ASSERT_TRUE(ReadEncoderBitrate(reg, &bitrate));
        EXPECT_EQ(bitrate, mode == 0 ? 100u : 300u);
    }
    const std::string text = testsupport::ReadBytes(reg.FilePath());
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\GNU\\ffdshow_enc]\n"
                        "\"maxKeyInterval\"=dword:000000fa\n"
                        "\"bitrate1000\"=dword:00000064\n"),
              std::string::npos)
        << text;
}

}  // namespace
