// The registry port on the system registry: the service's settings and the
// encoder's bitrate written through it, read back through it and by the
// system's own registry tool; and the port's answers at its edges.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "service/settings/EncoderSettings.h"
#include "service/settings/RegStore.h"
#include "service/settings/Settings.h"
#include "service/settings/win32/WinRegistry.h"

namespace {

using namespace settings;

// What `reg query` prints for a key, run in a shell as a user would.
std::string RegQuery(const std::string& arguments) {
    std::string output;
    FILE* pipe = ::_popen(("reg query " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::_pclose(pipe);
    return output;
}

void DeleteTree(const wchar_t* path) { ::RegDeleteTreeW(HKEY_CURRENT_USER, path); }

TEST(WinRegistry, SettingsAndBitrateRoundTrip) {
    DeleteTree(L"Software\\ZELT2\\ZELT2Service");
    DeleteTree(L"Software\\GNU\\ffdshow_enc");
    constexpr uint32_t kAccess = kKeyQueryValue | kKeySetValue;
    {
        CRegStore store(1, DefaultRegistry());
        ASSERT_TRUE(store.Open(kSettingsKeyPath, kRegCurrentUser, kAccess, false));
        store.Value(kSettingDid).SetString(u"ZELT-000123-ABCDE");
        store.Value(kSettingPassword).SetString(u"p\u00E4ssw\u00F6rd");
        store.Value(kSettingMode).SetString(u"1");
        store.Value(kSettingLanguage).SetString(u"\u0420\u0443\u0441\u0441\u043A\u0438\u0439");
        store.Value(kSettingCamera).SetString(u"USB Camera");
        store.Close();
        EXPECT_EQ(SetEncoderBitrate(store, EncoderBitrateForQuality(kQualityHigh)), 0);
    }
    {
        CRegStore store(1, DefaultRegistry());
        ASSERT_TRUE(store.Open(kSettingsKeyPath, kRegCurrentUser, kAccess, false));
        EXPECT_EQ(std::u16string(store.Value(u"did").GetString()), u"ZELT-000123-ABCDE");
        EXPECT_EQ(std::u16string(store.Value(kSettingPassword).GetString()), u"p\u00E4ssw\u00F6rd");
        EXPECT_EQ(QualityModeFromValue(store.Value(kSettingMode)), kQualityHigh);
        EXPECT_EQ(std::u16string(store.Value(kSettingLanguage).GetString()),
                  u"\u0420\u0443\u0441\u0441\u043A\u0438\u0439");
        EXPECT_EQ(std::u16string(store.Value(kSettingCamera).GetString()), u"USB Camera");
        store.Close();
    }
    uint32_t bitrate = 0;
    ASSERT_TRUE(ReadEncoderBitrate(DefaultRegistry(), &bitrate));
    EXPECT_EQ(bitrate, 300u);

    const std::string settings = RegQuery("\"HKCU\\Software\\ZELT2\\ZELT2Service\"");
    EXPECT_NE(settings.find("ZELT-000123-ABCDE"), std::string::npos) << settings;
    EXPECT_NE(settings.find("CamDriveName"), std::string::npos) << settings;
    EXPECT_NE(settings.find("REG_SZ"), std::string::npos) << settings;
    const std::string encoder = RegQuery("\"HKCU\\Software\\GNU\\ffdshow_enc\" /v bitrate1000");
    EXPECT_NE(encoder.find("REG_DWORD"), std::string::npos) << encoder;
    EXPECT_NE(encoder.find("0x12c"), std::string::npos) << encoder;
}

TEST(WinRegistry, ThePortsAnswersAtItsEdges) {
    DeleteTree(L"Software\\ZELT2Test");
    CWinRegistry reg;
    HREGKEY key = nullptr;
    EXPECT_EQ(reg.OpenKey(kRegCurrentUser, u"Software\\ZELT2Test\\Missing", kKeyQueryValue, &key), kRegErrNotFound);
    EXPECT_EQ(key, nullptr);

    ASSERT_EQ(reg.CreateKey(kRegCurrentUser, u"Software\\ZELT2Test\\Edges", kKeyQueryValue | kKeySetValue, &key),
              kRegOk);
    const uint8_t dword[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(reg.SetValue(key, std::u16string_view(u"LongerNameX", 10), kRegDword, dword, 4), kRegOk);
    uint32_t count = 0;
    ASSERT_EQ(reg.QueryValueCount(key, &count), kRegOk);
    EXPECT_EQ(count, 1u);

    char16_t name[11];
    uint32_t nameChars = 4;
    EXPECT_EQ(reg.EnumValue(key, 0, name, &nameChars, nullptr, nullptr, nullptr), kRegErrMoreData);
    nameChars = 11;
    uint32_t type = 0, bytes = 4;
    uint8_t data[4] = {};
    ASSERT_EQ(reg.EnumValue(key, 0, name, &nameChars, &type, data, &bytes), kRegOk);
    EXPECT_EQ(std::u16string(name, nameChars), u"LongerName") << "the name is the view's, not past it";
    EXPECT_EQ(type, kRegDword);
    EXPECT_EQ(bytes, 4u);
    nameChars = 11;
    EXPECT_EQ(reg.EnumValue(key, 1, name, &nameChars, nullptr, nullptr, nullptr), kRegErrNoMoreItems);
    EXPECT_EQ(reg.CloseKey(key), kRegOk);
    EXPECT_EQ(reg.CloseKey(kRegCurrentUser), kRegOk);
    DeleteTree(L"Software\\ZELT2Test");
}

}  // namespace
