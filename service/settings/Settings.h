#pragma once
// Where and how the service keeps its five settings in the current user's
// registry.

#include <cstdint>
#include <string_view>

#include "service/settings/RegStore.h"

namespace settings {

inline constexpr char16_t kSettingsKeyPath[] = u"Software\\ZELT2\\ZELT2Service";
inline constexpr char16_t kSettingDid[] = u"DID";
inline constexpr char16_t kSettingPassword[] = u"Password";
inline constexpr char16_t kSettingMode[] = u"Mode";
inline constexpr char16_t kSettingLanguage[] = u"Language";
inline constexpr char16_t kSettingCamera[] = u"CamDriveName";
// The window's place on the desktop, "x,y"; written by the window only.
inline constexpr char16_t kSettingWindowPosition[] = u"WindowPosition";
// Whether the window serves again at launch when it was serving at exit
// ("1" or "0"), and whether it was; written by the window only.
inline constexpr char16_t kSettingResume[] = u"ResumeServing";
inline constexpr char16_t kSettingServingAtExit[] = u"ServingAtExit";

// Quality modes.
inline constexpr int32_t kQualityHigh = 1;    // 640x480
inline constexpr int32_t kQualityNormal = 2;  // 320x240

// The leading decimal number of `text` after white space, with an optional
// sign; 0 when there are no digits; held to the 32-bit range.
int32_t LeadingInt(std::u16string_view text);

// "Mode" as stored: a text (or binary data read as text) by its leading
// number, a DWORD as it is, anything else 0; then 0 becomes normal quality.
int32_t QualityModeFromValue(settings::CRegValue& value);

}  // namespace settings
