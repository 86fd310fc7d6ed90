#include "service/app/ServiceController.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/app/DialogUtil.h"

namespace app {

using namespace settings;

namespace {

constexpr uint32_t kSettingsAccess = kKeyQueryValue | kKeySetValue;
// 1: a lost camera is waited for; 0: it stops the service. Absent: the
// front end's choice.
constexpr char16_t kSettingWaitForCamera[] = u"WaitForCamera";
// The transport's initialisation string: 90 letters and the terminating zero.
constexpr size_t kInitStringBufferSize = 91;

}  // namespace

CServiceController::CServiceController(ControllerConfig config, IServiceObserver& observer)
    : m_config(std::move(config)),
      m_observer(observer),
      m_regStore(kRegStoreCreate, *m_config.pRegistry),
      m_server(*m_config.pPppp, *this),
      m_pCapture(m_config.makeCapture()),
      m_liveVideo(*m_pCapture, *m_config.pRegistry, m_camXU, m_server, *this),
      m_bWaitForLostCamera(m_config.bWaitForLostCamera) {
    if (!m_queue.Started()) ZTRACE("the service's thread cannot be started: the service will not start\n");
}

CServiceController::~CServiceController() { Shutdown(); }

// ---- Settings ----

std::optional<WindowPosition> ParseWindowPosition(std::u16string_view text) {
    // "x,y", each an optional minus and up to nine digits; anything else is
    // no position (the desktop then places the window).
    WindowPosition position;
    int32_t* parts[] = {&position.nX, &position.nY};
    size_t at = 0;
    for (size_t part = 0; part < 2; ++part) {
        if (part == 1) {
            if (at >= text.size() || text[at] != u',') return std::nullopt;
            ++at;
        }
        const bool negative = at < text.size() && text[at] == u'-';
        if (negative) ++at;
        const size_t first = at;
        int32_t value = 0;
        while (at < text.size() && at - first < 9 && text[at] >= u'0' && text[at] <= u'9')
            value = value * 10 + (text[at++] - u'0');
        if (at == first) return std::nullopt;
        *parts[part] = negative ? -value : value;
    }
    if (at != text.size()) return std::nullopt;
    return position;
}

bool CServiceController::LoadSettings() {
    if (!m_regStore.Open(kSettingsKeyPath, kRegCurrentUser, kSettingsAccess, false)) {
        ZTRACE("the settings key cannot be opened: the defaults stay\n");
        return false;
    }
    m_settings.strDID = m_regStore.Value(kSettingDid).GetString();
    m_settings.strPassword = m_regStore.Value(kSettingPassword).GetString();
    m_settings.nQualityMode = QualityModeFromValue(m_regStore.Value(kSettingMode));
    m_settings.strLanguage = m_regStore.Value(kSettingLanguage).GetString();
    m_settings.strCameraName = m_regStore.Value(kSettingCamera).GetString();
    m_settings.windowPosition = ParseWindowPosition(m_regStore.Value(kSettingWindowPosition).GetString());
    for (auto [name, flag] : {std::pair{kSettingResume, &m_settings.resumeServing},
                              std::pair{kSettingServingAtExit, &m_settings.servingAtExit}}) {
        CRegValue& value = m_regStore.Value(name);
        *flag = value.m_nType == kRegNone ? std::nullopt : std::optional<bool>(LeadingInt(value.GetString()) == 1);
    }
    const CRegValue& wait = m_regStore.Value(kSettingWaitForCamera);
    if (wait.m_nType == kRegDword) m_bWaitForLostCamera.store(wait.m_dwValue != 0);
    m_regStore.Close();
    return true;
}

bool CServiceController::SaveSettings(const ServiceSettings& values) {
    m_settings = values;
    if (!m_regStore.Open(kSettingsKeyPath, kRegCurrentUser, kSettingsAccess, false)) {
        ZTRACE("the settings key cannot be opened: nothing saved\n");
        return false;
    }
    m_regStore.TakeWriteFailure();
    m_regStore.Value(kSettingDid).SetString(values.strDID);
    m_regStore.Value(kSettingPassword).SetString(values.strPassword);
    m_regStore.Value(kSettingMode).SetString(platform::Utf8ToUtf16(std::to_string(values.nQualityMode)));
    m_regStore.Value(kSettingLanguage).SetString(values.strLanguage);
    m_regStore.Value(kSettingCamera).SetString(values.strCameraName);
    if (values.windowPosition) {
        const std::string text =
            std::to_string(values.windowPosition->nX) + "," + std::to_string(values.windowPosition->nY);
        m_regStore.Value(kSettingWindowPosition).SetString(platform::Utf8ToUtf16(text));
    }
    if (values.resumeServing) m_regStore.Value(kSettingResume).SetString(*values.resumeServing ? u"1" : u"0");
    if (values.servingAtExit) m_regStore.Value(kSettingServingAtExit).SetString(*values.servingAtExit ? u"1" : u"0");
    m_regStore.Close();
    if (m_regStore.TakeWriteFailure()) {
        ZTRACE("a setting did not reach the registry\n");
        return false;
    }
    return true;
}

// ---- Start-up ----

void CServiceController::Initialize() {
    m_server.ClearSlots();
    char init[kInitStringBufferSize] = {};
    std::strncpy(init, m_config.strInitString.c_str(), sizeof init - 1);
    m_nP2PInit = m_config.pPppp->Initialize(init);
    if (m_nP2PInit < 0) {
        ZTRACE("PPPP_Initialize(..)=%d\n", m_nP2PInit);
        SetStatusCode(kStatusApiInitFailure);
    } else {
        if (m_config.pfnShareBandwidth) m_config.pfnShareBandwidth(1);
        SetStatusCode(kStatusStopped);
    }
    m_astrCameras = m_camXU.GetDeviceList();
    m_stills.LoadStillFrames();
}

int CServiceController::StoredCameraIndex() const {
    if (m_settings.strCameraName.empty()) return -1;
    return FindStringPrefix(m_astrCameras, 0, m_settings.strCameraName);
}

// ---- Start and stop ----

StartOutcome CServiceController::Start(const StartRequest& request) {
    StartOutcome outcome = StartOutcome::NotTried;
    m_queue.RunAndWait([&] { outcome = DoStart(request); });
    return outcome;
}

StartOutcome CServiceController::DoStart(const StartRequest& request) {
    const int index = request.nCameraIndex;
    const bool chosen = index >= 0 && index < static_cast<int>(m_astrCameras.size());
    const bool await = !chosen && request.awaitCamera && m_bWaitForLostCamera.load();
    if (!chosen && !await) {
        SetStatusCode(kStatusNoCamera);
        return StartOutcome::NoCamera;
    }
    if (chosen) {
        camera::CCameraXU::CSequence sequence = m_camXU.BeginSequence();
        const bool answers = m_camXU.Open(index);
        if (answers) m_camXU.Close();
        if (!answers) return StartOutcome::CameraNotAnswering;
    }
    const std::u16string did = TrimBlanks(request.strDidField);
    if (did.empty()) return StartOutcome::EmptyDid;
    if (platform::Utf16ToUtf8(did).size() > kDidMaxBytes) return StartOutcome::DidTooLong;

    m_server.SeedScramble(static_cast<uint8_t>(platform::GetTickCount()));
    {
        std::lock_guard<std::mutex> hold(m_encoderLock);
        m_settings.strCameraName = chosen ? m_astrCameras[index] : *request.awaitCamera;
    }
    m_nCameraIndex.store(chosen ? index : -1);
    m_bHighQuality.store(request.nQualityMode == kQualityHigh);
    // A refusal of the DID in an earlier run must not pass for one of this
    // run (which would keep "Running" from showing).
    int stale = kStatusWrongDid;
    m_nStatus.compare_exchange_strong(stale, kStatusStopped);
    if (m_server.StartListening(request.strDidField, request.strPasswordField) != 0)
        ZTRACE("StartListening failed: no thread to spare\n");
    m_bServing = true;

    video::LiveVideoRequest live;
    live.nQualityMode = request.nQualityMode;
    live.strCameraName = m_settings.strCameraName;
    live.nCameraIndex = chosen ? index : -1;
    live.nMode = m_server.Mode();
    live.strEncoder = m_config.strEncoder;
    m_lastLive = live;
    m_bAwaitByPrefix = await;
    if (await) {
        ZTRACE("no camera to start with: the still frame is served until one comes\n");
        BeginCameraAway(false);
        SetStatusCode(kStatusRunning);
        return StartOutcome::Started;
    }
    const video::LiveVideoStart started = m_liveVideo.Start(live);
    if (!started.bStarted) {
        if (!started.strProblem.empty()) m_observer.OnCaptureFailed(started.strProblem);
        SetStatusCode(kStatusCaptureFailed);
        return StartOutcome::Started;
    }
    m_server.SetCaptureStart(started.dwCaptureStart);
    {
        std::lock_guard<std::mutex> hold(m_encoderLock);
        m_strEncoder = started.strEncoder;
    }
    // The listener starts first and may already have refused the DID;
    // "Running" must not hide that.
    int current = m_nStatus.load();
    while (current != kStatusWrongDid && !m_nStatus.compare_exchange_weak(current, kStatusRunning)) {
    }
    if (current != kStatusWrongDid) m_observer.OnStatusChanged(kStatusRunning);
    return StartOutcome::Started;
}

void CServiceController::Stop(std::optional<int> status) {
    m_queue.RunAndWait([&] {
        StopService();
        if (status) SetStatusCode(*status);
    });
}

void CServiceController::StopService() {
    m_server.StopListening();
    m_liveVideo.Stop();
    m_server.WaitForReaders();
    // The readers have ended: no viewer starts the schedule again.
    m_server.StopVideoTimer();
    m_bCameraAway.store(false);
    m_bStillsWanted.store(false);
    m_queue.StopRepeating();
    m_bCameraNoPicture.store(false);
    m_bServing = false;
}

void CServiceController::StopByItself(StopReason reason) {
    // A stop asked for after the service was stopped anyway changes nothing.
    if (!m_bServing) return;
    if (reason == StopReason::CameraLost && m_bWaitForLostCamera.load()) {
        if (m_bCameraAway.load()) return;
        ZTRACE("the camera was lost: the still frame is served until it returns\n");
        m_liveVideo.Stop();
        BeginCameraAway(true);
        return;
    }
    ZTRACE("%s: the service stops\n", reason == StopReason::CameraLost ? "the camera was lost" : "the DID was refused");
    StopService();
    m_observer.OnServiceStopped(reason);
}

void CServiceController::BeginCameraAway(bool tell) {
    m_bCameraAway.store(true);
    m_queue.StartRepeating(kCameraLookPeriodMs, [this] { OnStillFrameTick(); });
    SendStillNow();
    if (tell) m_observer.OnCameraAway(true);
}

void CServiceController::Shutdown() {
    if (m_bShutDown) return;
    m_bShutDown = true;
    m_queue.RunAndWait([this] { StopService(); });
    m_queue.Close();
    m_server.FreePacketBuffer();
    if (m_nP2PInit >= 0) {
        m_config.pPppp->DeInitialize();
        m_nP2PInit = -1;
    }
}

void CServiceController::SetStatusCode(int status) {
    m_nStatus.store(status);
    m_observer.OnStatusChanged(status);
}

// ---- The still frames ----

std::string CServiceController::Encoder() const {
    std::lock_guard<std::mutex> hold(m_encoderLock);
    return m_strEncoder;
}

void CServiceController::SendStillNow() {
    const std::vector<uint8_t>& still = m_bHighQuality.load() ? m_stills.High() : m_stills.Normal();
    if (still.empty()) return;
    m_server.OnEncodedFrame(session::EncodedFrame::Still(still.data(), static_cast<uint32_t>(still.size())));
    m_nAwayStills.fetch_add(1);
}

void CServiceController::OnCameraAwayTick() {
    if (!m_bServing) return;
    // The list may have changed while the camera was away: its position is
    // looked up again by its name, for the camera channel.
    const std::vector<std::u16string>& cameras = m_camXU.GetDeviceList();
    const auto exact = std::find(cameras.begin(), cameras.end(), m_lastLive.strCameraName);
    const int found = exact != cameras.end() ? static_cast<int>(exact - cameras.begin())
                      : m_bAwaitByPrefix     ? FindStringPrefix(cameras, -1, m_lastLive.strCameraName)
                                             : -1;
    if (found >= 0) {
        m_lastLive.nCameraIndex = found;
        m_lastLive.strCameraName = cameras[static_cast<size_t>(found)];
        m_lastLive.nMode = m_server.Mode();
        const video::LiveVideoStart started = m_liveVideo.Start(m_lastLive);
        if (started.bStarted) {
            // The frames' time base stays that of the first capture, so that
            // the viewers' timestamps run on across the gap.
            m_nCameraIndex.store(m_lastLive.nCameraIndex);
            m_bAwaitByPrefix = false;
            {
                std::lock_guard<std::mutex> hold(m_encoderLock);
                m_strEncoder = started.strEncoder;
                m_settings.strCameraName = m_lastLive.strCameraName;
            }
            // Cleared before the wish for stills is read, as KillVideoTimer
            // writes the wish before it reads this: one of the two stops
            // the schedule when nobody wants it any more.
            m_bCameraAway.store(false);
            if (!m_bStillsWanted.load()) m_queue.StopRepeating();
            ZTRACE("the camera is back: live video again\n");
            m_observer.OnCameraAway(false);
            return;
        }
        if (!started.bCameraAbsent) ZTRACE("the camera is listed but its capture does not start: %s\n", started.strProblem.c_str());
    }
    SendStillNow();
}

void CServiceController::OnStillFrameTick() {
    if (m_bCameraAway.load()) {
        OnCameraAwayTick();
        return;
    }
    video::StillFrameTick tick;
    tick.bRunning = m_server.IsRunning();
    tick.nMode = m_server.Mode();
    tick.nCameraIndex = m_nCameraIndex.load();
    tick.bHighQuality = m_bHighQuality.load();
    tick.bNormalQuality = !tick.bHighQuality;
    const bool noPicture = m_stills.OnStillFrameTimer(tick, m_camXU, m_server);
    m_bCameraNoPicture.store(noPicture && m_queue.IsRepeating());
}

// ---- What the session server asks (its own threads) ----

void CServiceController::SetStatus(int status) { SetStatusCode(status); }

void CServiceController::StopCapture() {
    // Only the refused DID makes the listener ask; the whole service stops.
    m_queue.Post([this] { StopByItself(StopReason::DidRefused); });
}

void CServiceController::ChangeCameraMode(int mode, const std::function<bool()>& apply) {
    camera::CCameraXU::CSequence sequence = m_camXU.BeginSequence();
    if (!apply()) return;
    if (m_camXU.Open(m_nCameraIndex.load())) {
        m_camXU.SendCommand(camera::kCameraCommandBeforeMode, 0);
        m_camXU.SendCommand(camera::kCameraCommandMode, static_cast<uint8_t>(mode));
        m_camXU.Close();
    }
}

uint32_t CServiceController::SetVideoTimer() {
    m_bStillsWanted.store(true);
    m_queue.StartRepeating(session::kVideoTimerPeriodMs, [this] { OnStillFrameTick(); });
    return kStillFrameSchedule;
}

void CServiceController::KillVideoTimer(uint32_t) {
    m_bStillsWanted.store(false);
    // While the camera is away the schedule also looks for it.
    if (!m_bCameraAway.load()) m_queue.StopRepeating();
    // Nobody asks the camera any more: what it said is no longer known.
    m_bCameraNoPicture.store(false);
}

void CServiceController::RequestKeyFrame() { m_liveVideo.RequestKeyFrame(); }

void CServiceController::ReportInterceptedLogin(uint32_t refusals) {
    // The session server already bounds how often; the observer hands it over.
    m_observer.OnLoginIntercepted(refusals);
}

void CServiceController::RequestStillCheck() {
    {
        std::lock_guard<std::mutex> hold(m_stillCheckLock);
        const uint32_t now = platform::GetTickCount();
        if (m_lastStillCheck && now - *m_lastStillCheck < kStillCheckGapMs) return;
        m_lastStillCheck = now;
    }
    // The poll's own tick, out of turn; only while it runs (the viewer may
    // have stopped again, or the service).
    m_queue.Post([this] {
        if (m_bServing && (m_bStillsWanted.load() || m_bCameraAway.load())) OnStillFrameTick();
    });
}

// ---- What the live video tells (a capture thread) ----

void CServiceController::OnCameraLost() {
    m_queue.Post([this] { StopByItself(StopReason::CameraLost); });
}

}  // namespace app
