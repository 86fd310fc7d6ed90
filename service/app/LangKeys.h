#pragma once
// The keys of the texts the service takes from its language pack. The packs
// (res/Lang_<name>.ini) key every text by four digits; the logic names them.

namespace app::langkey {

// Menu, window and buttons.
inline constexpr char16_t kAboutMenu[] = u"0001";       // the system menu's About item
inline constexpr char16_t kDisconnect[] = u"0996";      // the connect toggle while serving
inline constexpr char16_t kAboutButton[] = u"0998";
inline constexpr char16_t kConnect[] = u"0999";         // the connect toggle while stopped
inline constexpr char16_t kWindowTitle[] = u"1001";     // also the program's name in the About box

// Labels of the main window.
inline constexpr char16_t kLanguageLabel[] = u"1002";
inline constexpr char16_t kQualityGroup[] = u"1003";
inline constexpr char16_t kNormalQuality[] = u"1004";
inline constexpr char16_t kHighQuality[] = u"1005";
inline constexpr char16_t kCodeGroup[] = u"1006";
inline constexpr char16_t kDidLabel[] = u"1007";
inline constexpr char16_t kPasswordLabel[] = u"1008";
inline constexpr char16_t kAccountLink[] = u"1009";
inline constexpr char16_t kNetworkGroup[] = u"1010";
inline constexpr char16_t kClockLabel[] = u"1011";
inline constexpr char16_t kOnlineLabel[] = u"1012";
inline constexpr char16_t kStatusLabel[] = u"1013";
inline constexpr char16_t kCameraLabel[] = u"1014";

// The status line, by status code 0 to 5.
inline constexpr char16_t kStatusStopped[] = u"1100";
inline constexpr char16_t kStatusRunning[] = u"1101";
inline constexpr char16_t kStatusApiInitFailure[] = u"1102";
inline constexpr char16_t kStatusNoCamera[] = u"1103";       // also the message when no camera is selected
inline constexpr char16_t kStatusCaptureFailed[] = u"1104";
inline constexpr char16_t kStatusWrongDid[] = u"1112";       // also the message for a DID over 20 bytes

// Message boxes.
inline constexpr char16_t kMessageCaption[] = u"1105";
inline constexpr char16_t kMessageCameraNotAnswering[] = u"1106";
inline constexpr char16_t kMessageEnterDid[] = u"1107";
inline constexpr char16_t kMessageSaveFailed[] = u"1113";
inline constexpr char16_t kMessageCameraLost[] = u"1114";   // the service stopped: the camera went away
inline constexpr char16_t kMessageDidRefused[] = u"1115";   // the service stopped: the DID was refused
inline constexpr char16_t kDidRule[] = u"1116";             // what a DID may be, wherever one is refused
inline constexpr char16_t kMessageLoginIntercepted[] = u"1139";  // logins made over another connection

// The password's warning beside its box.
inline constexpr char16_t kPasswordEmpty[] = u"1117";
inline constexpr char16_t kPasswordShort[] = u"1118";

// The link's box when its address does not open.
inline constexpr char16_t kLinkFailed[] = u"1119";
inline constexpr char16_t kLinkCopyHint[] = u"1120";
inline constexpr char16_t kLinkNoHandler[] = u"1121";
inline constexpr char16_t kLinkOpenerFailed[] = u"1122";

// The tray icon's menu and notifications, and quitting.
inline constexpr char16_t kTrayShowWindow[] = u"1123";
inline constexpr char16_t kTrayQuit[] = u"1124";
inline constexpr char16_t kViewerJoined[] = u"1125";
inline constexpr char16_t kViewerLeft[] = u"1126";
inline constexpr char16_t kQuitWhileWatched[] = u"1127";

// Starting at login and serving again at launch.
inline constexpr char16_t kStartAtLogin[] = u"1128";
inline constexpr char16_t kResumeServing[] = u"1129";
inline constexpr char16_t kStartAtLoginFailed[] = u"1130";

// The About box: the heading of the libraries' licences.
inline constexpr char16_t kAboutLicences[] = u"1131";
inline constexpr char16_t kAboutLicenceTexts[] = u"1132";  // where their full texts are

// The live preview, when it has no picture to show.
inline constexpr char16_t kPreviewNoPicture[] = u"1133";
// ... and when the camera says it has none, so viewers are sent the still.
inline constexpr char16_t kPreviewCameraNoPicture[] = u"1134";

// The buttons of message boxes and of the About box.
inline constexpr char16_t kButtonOk[] = u"1135";
inline constexpr char16_t kButtonCancel[] = u"1136";
inline constexpr char16_t kButtonYes[] = u"1137";
inline constexpr char16_t kButtonNo[] = u"1138";

}  // namespace app::langkey
