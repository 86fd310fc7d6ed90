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

// The test starts from a missing key and leaves the key as it found it: on a
// Windows machine the current user's settings are real ones. They are kept
// under a test key meanwhile; a run that was cut short put them back first.
class CKeptKey {
public:
    CKeptKey(const wchar_t* path, const wchar_t* keep) : m_path(path), m_keep(std::wstring(kKeptRoot) + keep) {
        if (Exists(m_keep)) Move(m_keep, m_path);
        m_bKept = !Exists(m_path) || Move(m_path, m_keep);
    }
    ~CKeptKey() {
        if (!m_bKept) return;  // the key was never moved: it is the user's still
        DeleteTree(m_path.c_str());
        if (Exists(m_keep)) Move(m_keep, m_path);
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZELT2Test\\Kept");  // only when empty
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZELT2Test");
    }
    CKeptKey(const CKeptKey&) = delete;
    CKeptKey& operator=(const CKeptKey&) = delete;

    // Whether the key is out of the way, its values safe.
    bool IsKept() const { return m_bKept; }

private:
    static constexpr const wchar_t* kKeptRoot = L"Software\\ZELT2Test\\Kept\\";
    static bool Exists(const std::wstring& path) {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        ::RegCloseKey(key);
        return true;
    }
    // Copies the tree `from` to `to` and deletes `from` once the copy is whole.
    static bool Move(const std::wstring& from, const std::wstring& to) {
        HKEY source = nullptr, target = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, from.c_str(), 0, KEY_READ, &source) != ERROR_SUCCESS) return false;
        DeleteTree(to.c_str());
        bool copied = ::RegCreateKeyExW(HKEY_CURRENT_USER, to.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target,
                                        nullptr) == ERROR_SUCCESS;
        copied = copied && ::RegCopyTreeW(source, nullptr, target) == ERROR_SUCCESS;
        if (target) ::RegCloseKey(target);
        ::RegCloseKey(source);
        if (copied) DeleteTree(from.c_str());
        return copied;
    }

    std::wstring m_path, m_keep;
    bool m_bKept = false;
};

TEST(WinRegistry, SettingsAndBitrateRoundTrip) {
    const CKeptKey keptSettings(L"Software\\ZELT2\\ZELT2Service", L"Settings");
    const CKeptKey keptEncoder(L"Software\\GNU\\ffdshow_enc", L"Encoder");
    ASSERT_TRUE(keptSettings.IsKept() && keptEncoder.IsKept()) << "the current settings could not be kept aside";
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
    DeleteTree(L"Software\\ZELT2Test\\Edges");
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
    DeleteTree(L"Software\\ZELT2Test\\Edges");
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZELT2Test");  // only when empty
}

}  // namespace
