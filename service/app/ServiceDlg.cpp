#include "service/app/ServiceDlg.h"

#include <cstring>
#include <ctime>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/app/DialogUtil.h"
#include "service/settings/Settings.h"

namespace app {

using namespace settings;
namespace {

struct StatusText {
    const char16_t* key;
    const char16_t* defaultText;
};
// By status code 0 to 5.
constexpr StatusText kStatusTexts[] = {
    {u"1100", u"Stopped"},
    {u"1101", u"Running"},
    {u"1102", u"API Initialize failure"},
    {u"1103", u"Please select one USB video device"},
    {u"1104", u"Failed to create live capture"},
    {u"1112", u"Wrong DID"},
};

struct ControlKey {
    int id;
    const char16_t* key;
};
// Controls relabelled by the language pack, in the order they are relabelled.
constexpr ControlKey kLabels[] = {
    {kIdcLanguageLabel, u"1002"}, {kIdcCameraLabel, u"1014"},   {kIdcAbout, u"0998"},
    {kIdcQualityGroup, u"1003"},  {kIdcNormalQuality, u"1004"}, {kIdcHighQuality, u"1005"},
    {kIdcCodeGroup, u"1006"},     {kIdcDidLabel, u"1007"},      {kIdcPasswordLabel, u"1008"},
};
constexpr ControlKey kNetworkLabels[] = {
    {kIdcNetworkGroup, u"1010"}, {kIdcClockLabel, u"1011"}, {kIdcOnlineLabel, u"1012"}, {kIdcStatusLabel, u"1013"},
};

// Saving the settings failed; not one of the original keys, so it has a text
// of its own when the pack lacks it.
constexpr char16_t kKeySaveFailed[] = u"1113";
constexpr char16_t kSaveFailedDefault[] =
    u"The settings could not be saved. They stay in effect until the program ends.";

}  // namespace

CServiceDlg::CServiceDlg(ServiceConfig config)
    : m_config(std::move(config)),
      m_server(*m_config.pPppp, *this),
      m_regStore(settings::kRegStoreCreate, *m_config.pRegistry) {
    if (m_config.makeCapture) m_pCapture = m_config.makeCapture(*this, m_camXU, *this, *m_config.pRegistry);
}

CServiceDlg::~CServiceDlg() {
    // The server's threads call into the capture (key frames) and the camera
    // channel; they end before either goes, whether or not the window ran.
    m_server.StopListening();
    if (m_pCapture) m_pCapture->StopCapture();
    m_server.WaitForReaders();
    m_pCapture.reset();
    if (m_nP2PInit >= 0) {
        m_config.pPppp->DeInitialize();
        m_nP2PInit = -1;
    }
}

// ---- Window start ----

void CServiceDlg::OnInitDialog() {
    // Window creation: the clock runs for the life of the window.
    m_nClockTimer = m_pHost->SetTimer(kClockTimer, kClockPeriodMs);

    // The data exchange towards the controls.
    m_pHost->SetTextLimit(kIdcDid, kDidMaxChars);
    DataToControls();

    const std::u16string about = Text(u"0001");
    m_pHost->SetAboutMenuText(about.empty() ? kAboutMenuDefault : about);
    m_strVersion = u"2.1.1";
    FillLanguageList(m_config.strModuleDir.empty() ? std::string() : m_config.strModuleDir + "res");
    LoadSettings();

    InitTransport();
    OnLanguageChanged();
    m_nid.Fill();
    m_nid.Add(*m_pHost);
    if (m_nP2PInit >= 0) {
        m_nStatus.store(kStatusStopped);
        ShowStatus();
    }
    if (m_pCapture) m_pCapture->LoadStillFrames();
    ZTRACE("OnInitDialog has been done\n");
}

void CServiceDlg::InitTransport() {
    m_server.ClearSlots();
    char init[91] = {};
    std::strncpy(init, m_config.strInitString.c_str(), sizeof init - 1);
    m_nP2PInit = m_config.pPppp->Initialize(init);
    if (m_nP2PInit < 0) {
        ZTRACE("PPPP_Initialize(..)=%d\n", m_nP2PInit);
        m_nStatus.store(kStatusApiInitFailure);
        ShowStatus();
    } else if (m_config.pfnShareBandwidth) {
        m_config.pfnShareBandwidth(1);
    }
    int appended = 0;
    {
        const std::vector<std::u16string>& names = m_camXU.GetDeviceList();
        for (const std::u16string& name : names) {
            m_pHost->ComboAddString(kIdcCamera, name);
            ++appended;
        }
    }
    if (appended > 0 && !m_strCameraName.empty()) SelectStringPrefix(*m_pHost, kIdcCamera, 0, m_strCameraName);
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
    default:
        break;
    }
}

void CServiceDlg::OnTimer(uint32_t id) {
    if (id == kClockTimer) {
        UpdateClock();
    } else if (id == kVideoTimer && m_pCapture) {
        video::StillFrameTick tick;
        tick.bRunning = m_server.IsRunning();
        tick.nMode = m_server.Mode();
        tick.nCameraIndex = m_nCameraIndex.load();
        tick.bNormalQuality = m_bNormalQuality;
        tick.bHighQuality = m_bHighQuality;
        m_pCapture->OnStillFrameTimer(tick, m_camXU, *this);
    }
}

void CServiceDlg::UpdateClock() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    m_pHost->SetControlText(kIdcClock, FormatClockText(local));
    m_pHost->SetControlText(kIdcOnline, platform::Utf8ToUtf16(std::to_string(m_server.Online())));
}

// ---- Service control ----

void CServiceDlg::OnConnect() {
    if (m_pHost->GetCheck(kIdcConnect)) {
        StartService();
        m_pHost->SetControlText(kIdcConnect, Text(u"0996"));
        m_pHost->EnableControl(kIdcDid, false);
        m_pHost->EnableControl(kIdcPassword, false);
    } else {
        StopService();
        m_nStatus.store(kStatusStopped);
        ShowStatus();
        m_pHost->SetControlText(kIdcConnect, Text(u"0999"));
        m_pHost->EnableControl(kIdcDid, true);
        m_pHost->EnableControl(kIdcPassword, true);
    }
}

void CServiceDlg::StartService() {
    const int selection = m_pHost->ComboGetCurSel(kIdcCamera);
    if (selection < 0) {
        m_lastStart = StartOutcome::NoCamera;
        m_nStatus.store(kStatusNoCamera);
        ShowStatus();
        Message(u"1103");
        return;
    }
    bool answers = false;
    {
        camera::CCameraXU::CSequence sequence = m_camXU.BeginSequence();
        answers = m_camXU.Open(selection);
        if (answers) m_camXU.Close();
    }
    if (!answers) {
        m_lastStart = StartOutcome::CameraNotAnswering;
        Message(u"1106");
        return;
    }
    const std::u16string did = TrimBlanks(m_pHost->GetControlText(kIdcDid));
    if (did.empty()) {
        m_lastStart = StartOutcome::EmptyDid;
        Message(u"1107");
        return;
    }
    if (platform::Utf16ToUtf8(did).size() > kDidMaxBytes) {
        m_lastStart = StartOutcome::DidTooLong;
        Message(u"1112");
        return;
    }
    m_pHost->EnableControl(kIdcCamera, false);
    m_server.SeedScramble(static_cast<uint8_t>(platform::GetTickCount()));
    m_strCameraName = m_pHost->ComboGetItemText(kIdcCamera, selection);
    m_nCameraIndex.store(selection);
    if (m_server.StartListening(m_pHost->GetControlText(kIdcDid), m_pHost->GetControlText(kIdcPassword)) != 0)
        ZTRACE("StartListening failed: no thread to spare\n");
    m_lastStart = StartOutcome::Started;
    if (m_pCapture) {
        video::CaptureRequest request;
        request.nQualityMode = m_nQualityMode;
        request.strCameraName = m_strCameraName;
        request.nCameraIndex = selection;
        request.nMode = m_server.Mode();
        uint32_t captureStart = 0;
        if (m_pCapture->StartCapture(request, &captureStart) == 0) m_server.SetCaptureStart(captureStart);
    }
}

void CServiceDlg::StopService() {
    m_server.StopListening();
    if (m_pCapture) m_pCapture->StopCapture();
    m_server.WaitForReaders();
    m_server.StopVideoTimer();
    // A start of the poll that a reader posted before it ended is undone
    // after it, in the window's order.
    m_pHost->PostToWindow([this] { m_pHost->KillTimer(kVideoTimer); });
    m_pHost->EnableControl(kIdcCamera, true);
}

void CServiceDlg::ShowStatus() {
    const int status = m_nStatus.load();
    if (status < 0 || status >= static_cast<int>(std::size(kStatusTexts))) return;
    SetStatusText(kStatusTexts[status].key, kStatusTexts[status].defaultText);
}

void CServiceDlg::SetStatusText(const char16_t* key, const char16_t* defaultText) {
    if (!key || !*key) return;
    const std::u16string text = Text(key);
    m_pHost->SetControlText(kIdcStatus, text.empty() ? std::u16string(defaultText) : text);
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

int CServiceDlg::OnGraphEvent() {
    if (m_pCapture) m_pCapture->OnGraphEvent();
    return 0;
}

// ---- Teardown ----

void CServiceDlg::OnDestroy() {
    if (m_bDestroyed) return;
    m_bDestroyed = true;
    StopService();
    m_nid.Remove(*m_pHost);
    SaveSettings();
    if (m_nClockTimer != 0) {
        m_pHost->KillTimer(kClockTimer);
        m_nClockTimer = 0;
    }
    m_server.FreePacketBuffer();
    if (m_nP2PInit >= 0) {
        m_config.pPppp->DeInitialize();
        m_nP2PInit = -1;
    }
}

// ---- Settings ----

void CServiceDlg::DataToControls() {
    m_pHost->SetControlText(kIdcDid, m_strEditDID);
    m_pHost->SetControlText(kIdcPassword, m_strEditPassword);
    m_pHost->SetCheck(kIdcHighQuality, m_bHighQuality);
    m_pHost->SetCheck(kIdcNormalQuality, m_bNormalQuality);
}

void CServiceDlg::DataFromControls() {
    m_strEditDID = m_pHost->GetControlText(kIdcDid);
    m_strEditPassword = m_pHost->GetControlText(kIdcPassword);
    m_bHighQuality = m_pHost->GetCheck(kIdcHighQuality);
    m_bNormalQuality = m_pHost->GetCheck(kIdcNormalQuality);
}

void CServiceDlg::LoadSettings() {
    if (!m_regStore.Open(kSettingsKeyPath, settings::kRegCurrentUser, settings::kKeyQueryValue | settings::kKeySetValue, false)) {
        ZTRACE("the settings key cannot be opened: the defaults stay\n");
        return;
    }
    m_server.SetDID(m_regStore.Value(kSettingDid).GetString());
    m_strEditPassword = m_regStore.Value(kSettingPassword).GetString();
    m_nQualityMode = QualityModeFromValue(m_regStore.Value(kSettingMode));
    const std::u16string language = m_regStore.Value(kSettingLanguage).GetString();
    m_strCameraName = m_regStore.Value(kSettingCamera).GetString();
    m_regStore.Close();
    SelectStringPrefix(*m_pHost, kIdcLanguage, 0, language.empty() ? std::u16string_view(kDefaultLanguage) : language);
    m_strEditDID = m_server.DID();
    // The radios follow "Mode", so that the capture's format, the still
    // frame's quality and the "Mode" saved at exit agree.
    m_bHighQuality = m_nQualityMode == kQualityHigh;
    m_bNormalQuality = !m_bHighQuality;
    DataToControls();
}

void CServiceDlg::SaveSettings() {
    DataFromControls();
    // A stored DID of more than 20 characters is kept whole: cutting it
    // would lose what the user stored.
    m_server.SetDID(platform::ToUpper(m_strEditDID));
    m_nQualityMode = m_bHighQuality ? kQualityHigh : kQualityNormal;
    const int selection = m_pHost->ComboGetCurSel(kIdcLanguage);
    std::u16string language = selection >= 0 ? m_pHost->ComboGetItemText(kIdcLanguage, selection) : std::u16string();
    if (language.empty()) language = kDefaultLanguage;

    bool saved = false;
    if (m_regStore.Open(kSettingsKeyPath, settings::kRegCurrentUser, settings::kKeyQueryValue | settings::kKeySetValue, false)) {
        m_regStore.TakeWriteFailure();
        m_regStore.Value(kSettingDid).SetString(m_server.DID());
        m_regStore.Value(kSettingPassword).SetString(m_strEditPassword);
        m_regStore.Value(kSettingMode).SetString(platform::Utf8ToUtf16(std::to_string(m_nQualityMode)));
        m_regStore.Value(kSettingLanguage).SetString(language);
        m_regStore.Value(kSettingCamera).SetString(m_strCameraName);
        m_regStore.Close();
        saved = !m_regStore.TakeWriteFailure();
        if (!saved) ZTRACE("a setting did not reach the registry\n");
    } else {
        ZTRACE("the settings key cannot be opened: nothing saved\n");
    }
    if (!saved) {
        const std::u16string text = Text(kKeySaveFailed);
        const std::u16string caption = Text(u"1105");
        m_pHost->MessageBox(text.empty() ? kSaveFailedDefault : text, caption.empty() ? kAppName : caption,
                          MessageBoxKind::Ok);
    }
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
    m_langTable.Load(LanguagePackPath(m_config.strModuleDir, language));
    ApplyLanguage();
}

void CServiceDlg::ApplyLanguage() {
    if (!m_langTable.HasPack()) return;
    m_pHost->SetWindowTitle(Text(u"1001") + u"(V" + m_strVersion + u")");
    for (const ControlKey& label : kLabels) m_pHost->SetControlText(label.id, Text(label.key));
    m_pHost->SetControlText(kIdcAccountLink, Text(u"1009"));
    m_pHost->SetControlText(kIdcConnect, Text(m_pHost->GetCheck(kIdcConnect) ? u"0996" : u"0999"));
    for (const ControlKey& label : kNetworkLabels) m_pHost->SetControlText(label.id, Text(label.key));
    const std::u16string about = Text(u"0001");
    m_pHost->SetAboutMenuText(about.empty() ? kAboutMenuDefault : about);
    ShowStatus();
}

std::u16string CServiceDlg::Text(const char16_t* key) const {
    const std::u16string* text = m_langTable.GetText(key);
    return text ? *text : std::u16string();
}

void CServiceDlg::Message(const char16_t* key) {
    const std::u16string caption = Text(u"1105");
    m_pHost->MessageBox(Text(key), caption.empty() ? kAppName : caption, MessageBoxKind::Ok);
}

// ---- What the session server asks (its own threads) ----

void CServiceDlg::SetStatus(int status) {
    m_nStatus.store(status);
    m_pHost->PostToWindow([this] { ShowStatus(); });
}

void CServiceDlg::StopCapture() {
    m_pHost->PostToWindow([this] {
        if (m_pCapture) m_pCapture->StopCapture();
    });
}

void CServiceDlg::ChangeCameraMode(int mode, const std::function<bool()>& apply) {
    camera::CCameraXU::CSequence sequence = m_camXU.BeginSequence();
    if (!apply()) return;
    if (m_camXU.Open(m_nCameraIndex.load())) {
        m_camXU.SendCommand(camera::kCameraCommandBeforeMode, 0);
        m_camXU.SendCommand(camera::kCameraCommandMode, static_cast<uint8_t>(mode));
        m_camXU.Close();
    }
}

uint32_t CServiceDlg::SetVideoTimer() {
    // Timers belong to the window's thread; set and kill keep their order there.
    m_pHost->PostToWindow([this] { m_pHost->SetTimer(kVideoTimer, session::kVideoTimerPeriodMs); });
    return kVideoTimer;
}

void CServiceDlg::KillVideoTimer(uint32_t) {
    m_pHost->PostToWindow([this] { m_pHost->KillTimer(kVideoTimer); });
}

void CServiceDlg::RequestKeyFrame() {
    if (m_pCapture) m_pCapture->RequestKeyFrame();
}

// ---- What the capture asks ----

void CServiceDlg::ShowCaptureMessage(const std::string& text) {
    const std::u16string caption = Text(u"1105");
    m_pHost->MessageBox(platform::Utf8ToUtf16(text), caption.empty() ? kAppName : caption, MessageBoxKind::Ok);
}

void CServiceDlg::SetCaptureStatus(int status) {
    // The listener starts first and may already have refused the DID (and
    // asked for the capture to stop); "Running" must not hide that.
    int current = m_nStatus.load();
    do {
        if (status == video::kStatusRunning && current == session::kStatusWrongDid) break;
    } while (!m_nStatus.compare_exchange_weak(current, status));
    ShowStatus();
}

void CServiceDlg::PostGraphEvent() {
    m_pHost->PostToWindow([this] { OnGraphEvent(); });
}

void CServiceDlg::OnEncodedFrame(const session::EncodedFrame& frame) {
    m_server.OnEncodedFrame(frame);
}

}  // namespace app
