#pragma once
// The main window's controls by id (dialog template 102), its timer and the
// texts the window logic uses when no language pack gives one.

#include <cstddef>
#include <cstdint>

namespace app {

// Controls of the main window.
inline constexpr int kIdcLanguage = 1002;        // drop-down list, sorted
inline constexpr int kIdcDid = 1003;             // edit, at most 20 characters
inline constexpr int kIdcAbout = 1008;           // push button
inline constexpr int kIdcPassword = 1009;        // edit
inline constexpr int kIdcHighQuality = 1015;     // radio, hidden
inline constexpr int kIdcNormalQuality = 1016;   // radio, hidden
inline constexpr int kIdcConnect = 1018;         // check box drawn as a push button
inline constexpr int kIdcClock = 1019;
inline constexpr int kIdcOnline = 1020;
inline constexpr int kIdcStatus = 1021;
inline constexpr int kIdcLanguageLabel = 1022;
inline constexpr int kIdcQualityGroup = 1023;    // hidden
inline constexpr int kIdcCodeGroup = 1024;
inline constexpr int kIdcNetworkGroup = 1025;
inline constexpr int kIdcClockLabel = 1026;
inline constexpr int kIdcOnlineLabel = 1027;
inline constexpr int kIdcStatusLabel = 1028;
inline constexpr int kIdcDidLabel = 1029;
inline constexpr int kIdcPasswordLabel = 1030;
inline constexpr int kIdcAccountLink = 1031;     // hyperlink
inline constexpr int kIdcCamera = 1033;          // drop-down list, unsorted
inline constexpr int kIdcCameraLabel = 1034;
inline constexpr int kIdcPasswordWarning = 1037; // static under the password, shown while it is weak
inline constexpr int kIdcStartAtLogin = 1038;    // check box; hidden where the desktop has no autostart folder
inline constexpr int kIdcResume = 1039;          // check box: serve again at launch if serving at exit
inline constexpr int kIdcPreview = 1040;         // the live preview: a small picture, or a note

inline constexpr int kDidMaxChars = 20;          // the DID edit's limit

// The main window's timer: the clock and the viewer count.
inline constexpr uint32_t kClockTimer = 100;
inline constexpr uint32_t kClockPeriodMs = 1000;

// Texts of the program itself.
inline constexpr char16_t kAppName[] = u"ZELT2Service";
inline constexpr char16_t kAboutMenuDefault[] = u"About(&A)...";
inline constexpr char16_t kTrayTip[] = u"Talvik Remote Service";
inline constexpr char16_t kDefaultLanguage[] = u"English";

}  // namespace app
