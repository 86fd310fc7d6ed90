#include "service/app/ServiceDlg.h"

#include <ctime>

#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/app/DialogUtil.h"
#include "service/app/LangKeys.h"
#include "service/app/ServiceTexts.h"

namespace app {

using namespace settings;
namespace {

struct ControlKey {
    int id;
    const char16_t* key;
};
// Controls relabelled by the language pack, in the order they are relabelled.
constexpr ControlKey kLabels[] = {
    {kIdcLanguageLabel, langkey::kLanguageLabel}, {kIdcCameraLabel, langkey::kCameraLabel},
    {kIdcAbout, langkey::kAboutButton},           {kIdcQualityGroup, langkey::kQualityGroup},
    {kIdcNormalQuality, langkey::kNormalQuality}, {kIdcHighQuality, langkey::kHighQuality},
    {kIdcCodeGroup, langkey::kCodeGroup},         {kIdcDidLabel, langkey::kDidLabel},
    {kIdcPasswordLabel, langkey::kPasswordLabel},
};
constexpr ControlKey kNetworkLabels[] = {
    {kIdcNetworkGroup, langkey::kNetworkGroup},
    {kIdcClockLabel, langkey::kClockLabel},
    {kIdcOnlineLabel, langkey::kOnlineLabel},
    {kIdcStatusLabel, langkey::kStatusLabel},
};

constexpr char16_t kVersion[] = u"2.1.1";

}  // namespace

CServiceDlg::CServiceDlg(ControllerConfig config, std::string strModuleDir)
    : m_strModuleDir(std::move(strModuleDir)),
      m_preview([this](video::IPreviewSink* sink) { m_controller.SetPreviewSink(sink); }),
      m_controller(std::move(config), *this) {}

// The preview lets go of the capture while the controller still exists.
CServiceDlg::~CServiceDlg() { m_preview.Close(); }

// ---- Window start ----

void CServiceDlg::OnInitDialog() {
    m_preview.AttachHost(*m_pHost);
    // Window creation: the clock runs for the life of the window.
    m_nClockTimer = m_pHost->SetTimer(kClockTimer, kClockPeriodMs);

    // The data exchange towards the controls.
    m_pHost->SetTextLimit(kIdcDid, kDidMaxChars);
    DataToControls();

    const std::u16string about = Text(langkey::kAboutMenu);
    m_pHost->SetAboutMenuText(about.empty() ? kAboutMenuDefault : about);
    m_strVersion = kVersion;
    FillLanguageList(m_strModuleDir.empty() ? std::string() : m_strModuleDir + "res");
    LoadSettings();

    InitTransport();
    OnLanguageChanged();
    // Without a pack the built-in texts still explain the DID, the password
    // and the link.
    if (!m_langTable.HasPack()) ApplyLanguageTexts();
    m_nid.Fill();
    m_nid.Add(*m_pHost);
    ShowTrayMenu();
    ShowStatus();
    m_pHost->ShowControl(kIdcStartAtLogin, m_pAutostart != nullptr);
    if (m_pAutostart) m_pHost->SetCheck(kIdcStartAtLogin, m_pAutostart->IsOn());
    ResumeServing();
    ZTRACE("OnInitDialog has been done\n");
}

void CServiceDlg::InitTransport() {
    m_controller.Initialize();
    ShowStatus();
    for (const std::u16string& name : m_controller.Cameras()) m_pHost->ComboAddString(kIdcCamera, name);
    const int stored = m_controller.StoredCameraIndex();
    if (stored >= 0) m_pHost->ComboSetCurSel(kIdcCamera, stored);
}

void CServiceDlg::OnCommand(int id) {
    switch (id) {
    case kIdcConnect:
        OnConnect();
        break;
    case kIdcLanguage:
        OnLanguageChanged();
        break;
    case kIdcNormalQuality:
        OnSelectNormal();
        break;
    case kIdcHighQuality:
        OnSelectHigh();
        break;
    case kIdcAbout:
    case kAboutMenuCommand:
        m_pHost->ShowAboutBox();
        break;
    case kIdcPassword:
        ShowPasswordWarning();
        break;
    case kIdcStartAtLogin:
        OnStartAtLogin();
        break;
    case kTrayShowCommand:
        m_pHost->ShowWindow();
        break;
    case kTrayConnectCommand:
        // As a click on the toggle would.
        m_pHost->SetCheck(kIdcConnect, !m_pHost->GetCheck(kIdcConnect));
        OnConnect();
        break;
    case kTrayQuitCommand:
        if (ConfirmQuit()) m_pHost->CloseWindow();
        break;
    default:
        break;
    }
}

void CServiceDlg::OnTimer(uint32_t id) {
    if (id != kClockTimer) return;
    UpdateClock();
    m_preview.OnTick(m_controller.IsCapturing(), m_controller.CameraHasNoPicture());
}

void CServiceDlg::OnShown(bool shown) {
    if (!m_bDestroyed) m_preview.OnShown(shown);
}

void CServiceDlg::UpdateClock() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    platform::LocalTime(now, local);
    m_pHost->SetControlText(kIdcClock, FormatClockText(local));
    const int online = m_controller.Online();
    m_pHost->SetControlText(kIdcOnline, platform::Utf8ToUtf16(std::to_string(online)));
    NotifyViewers(online);
    ShowTrayStatus();
}

void CServiceDlg::NotifyViewers(int online) {
    if (online == m_nNotifiedOnline || m_bDestroyed) return;
    const bool joined = online > m_nNotifiedOnline;
    m_nNotifiedOnline = online;
    m_pHost->ShowNotification(MessageCaption(m_langTable),
                              PackTextOr(m_langTable, joined ? langkey::kViewerJoined : langkey::kViewerLeft,
                                         joined ? u"A viewer started watching." : u"A viewer stopped watching.") +
                                  u" " + PackTextOr(m_langTable, langkey::kOnlineLabel, u"Number of online viewer:") +
                                  u" " + platform::Utf8ToUtf16(std::to_string(online)));
}

void CServiceDlg::ShowTrayStatus() {
    if (m_bDestroyed) return;
    const std::optional<std::u16string> status = StatusLineText(m_langTable, m_controller.Status());
    m_pHost->SetTrayStatus((status ? *status : std::u16string()) + u" \u00b7 " +
                           PackTextOr(m_langTable, langkey::kOnlineLabel, u"Number of online viewer:") + u" " +
                           platform::Utf8ToUtf16(std::to_string(m_controller.Online())));
}

void CServiceDlg::ShowTrayMenu() {
    if (m_bDestroyed) return;
    const bool serving = m_pHost->GetCheck(kIdcConnect);
    // The connect item needs a text even without a pack.
    const std::u16string connect = serving ? PackTextOr(m_langTable, langkey::kDisconnect, u"Disconnect")
                                           : PackTextOr(m_langTable, langkey::kConnect, u"Connect to Internet");
    m_pHost->SetTrayMenu({
        {kTrayShowCommand, PackTextOr(m_langTable, langkey::kTrayShowWindow, u"Show window")},
        {kTrayConnectCommand, connect},
        {kTrayQuitCommand, PackTextOr(m_langTable, langkey::kTrayQuit, u"Quit")},
    });
}

void CServiceDlg::OnStartAtLogin() {
    const bool wanted = m_pHost->GetCheck(kIdcStartAtLogin);
    if (!m_pAutostart || m_pAutostart->Set(wanted)) return;
    // The box shows what the desktop will do, not what was asked.
    m_pHost->SetCheck(kIdcStartAtLogin, m_pAutostart && m_pAutostart->IsOn());
    Message(PackTextOr(m_langTable, langkey::kStartAtLoginFailed,
                       u"Starting at login could not be changed: the desktop's autostart folder cannot be written."));
}

void CServiceDlg::ResumeServing() {
    if (!m_pHost->GetCheck(kIdcResume) || !m_bServingAtExit) return;
    // As a press of the toggle: a refusal says why and leaves it released.
    m_pHost->SetCheck(kIdcConnect, true);
    OnConnect();
}

bool CServiceDlg::OnCloseRequest() { return ConfirmQuit(); }

bool CServiceDlg::ConfirmQuit() {
    // Quitting ends every viewer's picture; nobody watching, nothing to ask.
    if (m_controller.Online() == 0) return true;
    return m_pHost->MessageBox(PackTextOr(m_langTable, langkey::kQuitWhileWatched,
                                          u"Viewers are watching. Quit anyway? They will be disconnected."),
                               MessageCaption(m_langTable), MessageBoxKind::YesNo) == MessageBoxResult::Yes;
}

// ---- Service control ----

void CServiceDlg::OnConnect() {
    if (m_pHost->GetCheck(kIdcConnect)) {
        StartService();
        // A refused start leaves nothing running: the toggle must not claim
        // otherwise, and the user fixes the DID without a Disconnect first.
        if (m_lastStart != StartOutcome::Started) {
            ShowStopped();
            return;
        }
        m_pHost->SetControlText(kIdcConnect, Text(langkey::kDisconnect));
        m_pHost->EnableControl(kIdcDid, false);
        m_pHost->EnableControl(kIdcPassword, false);
        ShowTrayMenu();
    } else {
        m_controller.Stop(kStatusStopped);
        ShowStatus();
        ShowStopped();
    }
}

void CServiceDlg::ShowStopped() {
    m_pHost->SetCheck(kIdcConnect, false);
    m_pHost->SetControlText(kIdcConnect, Text(langkey::kConnect));
    m_pHost->EnableControl(kIdcCamera, true);
    m_pHost->EnableControl(kIdcDid, true);
    m_pHost->EnableControl(kIdcPassword, true);
    m_preview.OnCaptureStopped();
    ShowTrayMenu();
}

void CServiceDlg::StartService() {
    StartRequest request;
    request.nCameraIndex = m_pHost->ComboGetCurSel(kIdcCamera);
    request.strDidField = m_pHost->GetControlText(kIdcDid);
    request.strPasswordField = m_pHost->GetControlText(kIdcPassword);
    request.nQualityMode = m_nQualityMode;
    m_lastStart = m_controller.Start(request);
    ShowStatus();
    if (const std::u16string text = RefusalMessageText(m_langTable, m_lastStart); !text.empty()) Message(text);
    if (m_lastStart == StartOutcome::Started) m_pHost->EnableControl(kIdcCamera, false);
}

void CServiceDlg::StopService() {
    m_controller.Stop();
    m_pHost->EnableControl(kIdcCamera, true);
}

void CServiceDlg::ShowStatus() {
    if (const std::optional<std::u16string> text = StatusLineText(m_langTable, m_controller.Status()))
        m_pHost->SetControlText(kIdcStatus, *text);
    ShowTrayStatus();
}

void CServiceDlg::OnSelectNormal() {
    m_bHighQuality = false;
    m_bNormalQuality = true;
    m_nQualityMode = kQualityNormal;
    m_pHost->SetCheck(kIdcHighQuality, m_bHighQuality);
    m_pHost->SetCheck(kIdcNormalQuality, m_bNormalQuality);
}

void CServiceDlg::OnSelectHigh() {
    m_bNormalQuality = false;
    m_bHighQuality = true;
    m_nQualityMode = kQualityHigh;
    m_pHost->SetCheck(kIdcHighQuality, m_bHighQuality);
    m_pHost->SetCheck(kIdcNormalQuality, m_bNormalQuality);
}

// ---- Teardown ----

void CServiceDlg::OnDestroy() {
    if (m_bDestroyed) return;
    m_bDestroyed = true;
    m_preview.Close();
    m_bServingAtExit = m_controller.IsListening();
    StopService();
    m_nid.Remove(*m_pHost);
    SaveSettings();
    if (m_nClockTimer != 0) {
        m_pHost->KillTimer(kClockTimer);
        m_nClockTimer = 0;
    }
    m_controller.Shutdown();
}

// ---- Settings ----

void CServiceDlg::DataToControls() {
    m_pHost->SetControlText(kIdcDid, m_strEditDID);
    m_pHost->SetControlText(kIdcPassword, m_strEditPassword);
    m_pHost->SetCheck(kIdcHighQuality, m_bHighQuality);
    m_pHost->SetCheck(kIdcNormalQuality, m_bNormalQuality);
    ShowPasswordWarning();
}

void CServiceDlg::ShowPasswordWarning() {
    // An empty password stays allowed (stored settings rely on it on the
    // LAN), but never without the user being told what it means.
    const std::u16string warning = PasswordWarningText(m_langTable, m_pHost->GetControlText(kIdcPassword));
    m_pHost->SetControlText(kIdcPasswordWarning, warning);
    m_pHost->ShowControl(kIdcPasswordWarning, !warning.empty());
}

void CServiceDlg::DataFromControls() {
    m_strEditDID = m_pHost->GetControlText(kIdcDid);
    m_strEditPassword = m_pHost->GetControlText(kIdcPassword);
    m_bHighQuality = m_pHost->GetCheck(kIdcHighQuality);
    m_bNormalQuality = m_pHost->GetCheck(kIdcNormalQuality);
}

void CServiceDlg::LoadSettings() {
    if (!m_controller.LoadSettings()) return;
    const ServiceSettings& stored = m_controller.Settings();
    m_strEditPassword = stored.strPassword;
    m_nQualityMode = stored.nQualityMode;
    SelectStringPrefix(*m_pHost, kIdcLanguage, 0,
                       stored.strLanguage.empty() ? std::u16string_view(kDefaultLanguage) : stored.strLanguage);
    m_strEditDID = stored.strDID;
    // The radios follow "Mode", so that the capture's format, the still
    // frame's quality and the "Mode" saved at exit agree.
    m_bHighQuality = m_nQualityMode == kQualityHigh;
    m_bNormalQuality = !m_bHighQuality;
    DataToControls();
    if (stored.windowPosition) m_pHost->SetWindowPosition(stored.windowPosition->nX, stored.windowPosition->nY);
    m_pHost->SetCheck(kIdcResume, stored.resumeServing.value_or(false));
    m_bServingAtExit = stored.servingAtExit.value_or(false);
}

void CServiceDlg::SaveSettings() {
    DataFromControls();
    ServiceSettings values;
    // A stored DID of more than 20 characters is kept whole: cutting it
    // would lose what the user stored.
    values.strDID = platform::ToUpper(m_strEditDID);
    values.strPassword = m_strEditPassword;
    m_nQualityMode = m_bHighQuality ? kQualityHigh : kQualityNormal;
    values.nQualityMode = m_nQualityMode;
    const int selection = m_pHost->ComboGetCurSel(kIdcLanguage);
    values.strLanguage = selection >= 0 ? m_pHost->ComboGetItemText(kIdcLanguage, selection) : std::u16string();
    if (values.strLanguage.empty()) values.strLanguage = kDefaultLanguage;
    values.strCameraName = m_controller.CameraName();
    if (const std::optional<std::pair<int, int>> at = m_pHost->GetWindowPosition())
        values.windowPosition = WindowPosition{at->first, at->second};
    values.resumeServing = m_pHost->GetCheck(kIdcResume);
    values.servingAtExit = m_bServingAtExit;
    if (!m_controller.SaveSettings(values)) Message(SaveFailedText(m_langTable));
}

// ---- Language ----

void CServiceDlg::FillLanguageList(const std::string& folder) {
    if (folder.empty()) return;
    for (const std::u16string& name : ListLanguagePacks(folder)) m_pHost->ComboAddString(kIdcLanguage, name);
}

void CServiceDlg::OnLanguageChanged() {
    const int selection = m_pHost->ComboGetCurSel(kIdcLanguage);
    if (selection < 0) return;
    const std::u16string language = m_pHost->ComboGetItemText(kIdcLanguage, selection);
    if (language.empty()) return;
    m_langTable.Load(LanguagePackPath(m_strModuleDir, language));
    ApplyLanguage();
}

void CServiceDlg::ApplyLanguage() {
    if (!m_langTable.HasPack()) return;
    m_pHost->SetWindowTitle(Text(langkey::kWindowTitle) + u"(V" + m_strVersion + u")");
    for (const ControlKey& label : kLabels) m_pHost->SetControlText(label.id, Text(label.key));
    m_pHost->SetControlText(kIdcAccountLink, Text(langkey::kAccountLink));
    m_pHost->SetControlText(kIdcConnect, Text(m_pHost->GetCheck(kIdcConnect) ? langkey::kDisconnect : langkey::kConnect));
    for (const ControlKey& label : kNetworkLabels) m_pHost->SetControlText(label.id, Text(label.key));
    const std::u16string about = Text(langkey::kAboutMenu);
    m_pHost->SetAboutMenuText(about.empty() ? kAboutMenuDefault : about);
    ApplyLanguageTexts();
    ShowStatus();
}

void CServiceDlg::ApplyLanguageTexts() {
    m_pHost->SetInputRule(kIdcDid, DidRuleText(m_langTable));
    LinkFailureTexts link;
    link.strCaption = MessageCaption(m_langTable);
    link.strHeading = PackTextOr(m_langTable, langkey::kLinkFailed, u"The web page could not be opened.");
    link.strNoHandler = PackTextOr(m_langTable, langkey::kLinkNoHandler,
                                   u"No program on this computer is set up to open web addresses.");
    link.strFailed = PackTextOr(m_langTable, langkey::kLinkOpenerFailed,
                                u"The program that opens web addresses could not be started.");
    link.strCopyHint =
        PackTextOr(m_langTable, langkey::kLinkCopyHint, u"To visit it, copy this address into a web browser:");
    m_pHost->SetLinkFailureTexts(link);
    ButtonTexts buttons;
    buttons.strOk = PackTextOr(m_langTable, langkey::kButtonOk, u"OK");
    buttons.strCancel = PackTextOr(m_langTable, langkey::kButtonCancel, u"Cancel");
    buttons.strYes = PackTextOr(m_langTable, langkey::kButtonYes, u"Yes");
    buttons.strNo = PackTextOr(m_langTable, langkey::kButtonNo, u"No");
    m_pHost->SetButtonTexts(buttons);
    m_pHost->SetControlText(kIdcStartAtLogin, PackTextOr(m_langTable, langkey::kStartAtLogin, u"Start when I log in"));
    m_pHost->SetControlText(kIdcResume, PackTextOr(m_langTable, langkey::kResumeServing,
                                                   u"Serve again at launch if serving when closed"));
    m_preview.SetTexts(PackTextOr(m_langTable, langkey::kPreviewNoPicture, u"No picture"),
                       PackTextOr(m_langTable, langkey::kPreviewCameraNoPicture,
                                  u"The camera has no picture: viewers see the stored one"));
    ShowPasswordWarning();
    ShowTrayMenu();
}

std::u16string CServiceDlg::Text(const char16_t* key) const { return PackText(m_langTable, key); }

void CServiceDlg::Message(const std::u16string& text) {
    m_pHost->MessageBox(text, MessageCaption(m_langTable), MessageBoxKind::Ok);
}

// ---- What the controller tells (any thread) ----

void CServiceDlg::OnStatusChanged(int) {
    m_pHost->PostToWindow([this] { ShowStatus(); });
}

void CServiceDlg::OnCaptureFailed(const std::string& problem) {
    m_pHost->PostToWindow([this, text = platform::Utf8ToUtf16(problem)] { Message(text); });
}

void CServiceDlg::OnLoginIntercepted(uint32_t refusals) {
    // A warning, not a question: the window may be hidden in the tray, and the
    // service goes on serving the others.
    m_pHost->PostToWindow([this, refusals] {
        if (m_bDestroyed) return;
        m_pHost->ShowNotification(MessageCaption(m_langTable), InterceptedLoginText(m_langTable, refusals));
    });
}

void CServiceDlg::OnServiceStopped(StopReason reason) {
    m_pHost->PostToWindow([this, reason] { ShowStoppedByItself(reason); });
}

void CServiceDlg::ShowStoppedByItself(StopReason reason) {
    // The user may have started the service again since it stopped; that run
    // is not this stop's to show.
    if (m_bDestroyed || m_controller.IsListening()) return;
    // A refused DID keeps its status, which says why; a lost camera leaves
    // nothing that still runs.
    if (reason == StopReason::CameraLost) m_controller.Stop(kStatusStopped);
    ShowStatus();
    ShowStopped();
    const std::u16string why = reason == StopReason::CameraLost ? CameraLostText(m_langTable) : DidRefusedText(m_langTable);
    // The window may be hidden in the tray: the desktop says it too.
    m_pHost->ShowNotification(MessageCaption(m_langTable), why);
    Message(why);
}

}  // namespace app
