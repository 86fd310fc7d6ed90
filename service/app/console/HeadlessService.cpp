#include "service/app/console/HeadlessService.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>

#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/app/DialogIds.h"
#include "service/app/DialogUtil.h"
#include "service/app/LangKeys.h"
#include "service/app/ServiceApp.h"
#include "service/app/ServiceTexts.h"
#include "service/app/console/ServiceConfig.h"
#include "service/app/console/ServiceStatus.h"
#include "service/app/console/StatusPrinter.h"

namespace app {
namespace {

std::atomic<bool> g_bStop{false};
std::atomic<bool> g_bReload{false};
void OnStopRequest() { g_bStop.store(true); }
void OnReloadRequest() { g_bReload.store(true); }

// The frame count alone changes the status file at most this often.
constexpr auto kStatusRewritePeriod = std::chrono::seconds(10);

constexpr auto kSignalPollPeriod = std::chrono::milliseconds(100);

// What the controller tells, kept until the front end's thread takes it.
struct Event {
    enum class Kind { Status, CaptureFailed, Stopped, CameraAway, CameraBack, LoginIntercepted } kind;
    std::string strProblem;
    StopReason reason = StopReason::CameraLost;
    uint32_t refusals = 0;  // LoginIntercepted
};

class CHeadlessService final : private IServiceObserver {
public:
    CHeadlessService(ControllerConfig config, const std::string& moduleDir, FILE* out, bool terminal)
        : m_strModuleDir(moduleDir), m_printer(out, terminal), m_controller(std::move(config), *this) {}

    int Run(const HeadlessOptions& options, const ServiceConfig& fileConfig);

private:
    void OnStatusChanged(int) override { Push(Event{Event::Kind::Status, {}, {}}); }
    void OnCaptureFailed(const std::string& problem) override { Push(Event{Event::Kind::CaptureFailed, problem, {}}); }
    void OnServiceStopped(StopReason reason) override { Push(Event{Event::Kind::Stopped, {}, reason}); }
    void OnLoginIntercepted(uint32_t refusals) override {
        Push(Event{Event::Kind::LoginIntercepted, {}, {}, refusals});
    }
    void OnCameraAway(bool away) override {
        Push(Event{away ? Event::Kind::CameraAway : Event::Kind::CameraBack, {}, {}});
    }
    void Push(Event event) {
        {
            std::lock_guard<std::mutex> hold(m_eventLock);
            m_events.push_back(std::move(event));
        }
        m_eventSignal.notify_one();
    }

    void LoadSettingsAndLanguage();
    bool ChooseCamera(const std::optional<std::string>& option);
    // Shows what the controller told; the reason when the service stopped by itself.
    std::optional<StopReason> TakeEvents();
    void ShowStatus();
    void Message(const std::u16string& text) { m_printer.PrintMessage(MessageCaption(m_pack), text); }
    std::u16string Label(const char16_t* key) const { return m_pack.HasPack() ? PackText(m_pack, key) : std::u16string(); }
    void ShowClock();
    void SaveSettings();
    // Starts the service with the fields as they are; the exit status when
    // it does not start.
    std::optional<int> StartService(const std::optional<std::string>& cameraOption);
    // Takes the configuration's values where the command line gave none.
    void ApplyConfig(const ServiceConfig& config);
    void Reload();
    void WriteStatus(bool force);

    std::string m_strModuleDir;
    HeadlessOptions m_options;      // the command line with the configuration under it
    HeadlessOptions m_commandLine;  // the command line alone
    ServiceConfig m_config;
    std::string m_strStatusPath;
    std::string m_strLastStatus;
    std::chrono::steady_clock::time_point m_lastStatusWrite;
    CStatusPrinter m_printer;
    CLangTable m_pack;
    std::u16string m_strLanguage;  // the chosen pack's name; empty: none
    std::u16string m_strDidField;
    std::u16string m_strPasswordField;
    int32_t m_nQualityMode = settings::kQualityNormal;
    int m_nCamera = -1;

    std::mutex m_eventLock;
    std::condition_variable m_eventSignal;
    std::deque<Event> m_events;
    // Last: it stops before the rest goes.
    CServiceController m_controller;
};

void CHeadlessService::LoadSettingsAndLanguage() {
    const std::vector<std::u16string> packs =
        m_strModuleDir.empty() ? std::vector<std::u16string>() : SortedLanguagePacks(m_strModuleDir + "res");
    if (!m_controller.LoadSettings()) return;
    const ServiceSettings& stored = m_controller.Settings();
    m_strDidField = stored.strDID;
    m_strPasswordField = stored.strPassword;
    m_nQualityMode = stored.nQualityMode;
    const int index = FindStringPrefix(packs, 0, stored.strLanguage.empty() ? std::u16string_view(kDefaultLanguage)
                                                                             : stored.strLanguage);
    if (index >= 0) m_strLanguage = packs[index];
}

// Whether a --camera value is a position in the list rather than a name.
bool CameraPosition(const std::string& option, long& position) {
    char* end = nullptr;
    position = std::strtol(option.c_str(), &end, 10);
    return !option.empty() && *end == '\0';
}

bool CHeadlessService::ChooseCamera(const std::optional<std::string>& option) {
    const std::vector<std::u16string>& cameras = m_controller.Cameras();
    const int count = static_cast<int>(cameras.size());
    if (option) {
        long position = 0;
        if (CameraPosition(*option, position)) {
            if (position < 0 || position >= count) return false;
            m_nCamera = static_cast<int>(position);
            return true;
        }
        const int index = FindStringPrefix(cameras, -1, platform::Utf8ToUtf16(*option));
        if (index >= 0) m_nCamera = index;
        return index >= 0;
    }
    if (m_nCamera < 0 && count > 0) m_nCamera = 0;
    return count > 0;
}

void CHeadlessService::ShowStatus() {
    if (const std::optional<std::u16string> text = StatusLineText(m_pack, m_controller.Status()))
        m_printer.PrintStatus(Label(langkey::kStatusLabel), *text);
}

std::optional<StopReason> CHeadlessService::TakeEvents() {
    std::deque<Event> events;
    {
        std::lock_guard<std::mutex> hold(m_eventLock);
        events.swap(m_events);
    }
    std::optional<StopReason> stopped;
    for (const Event& event : events) {
        switch (event.kind) {
        case Event::Kind::Status: ShowStatus(); break;
        case Event::Kind::CaptureFailed: Message(platform::Utf8ToUtf16(event.strProblem)); break;
        case Event::Kind::LoginIntercepted:
            Message(InterceptedLoginText(m_pack, event.refusals));
            break;
        case Event::Kind::Stopped: stopped = event.reason; break;
        case Event::Kind::CameraAway:
            m_printer.Print("ZELT2Service: the camera \"" + platform::Utf16ToUtf8(m_controller.CameraName()) +
                            "\" is gone; viewers get the still picture while the service waits for it.");
            break;
        case Event::Kind::CameraBack:
            m_printer.Print("ZELT2Service: the camera \"" + platform::Utf16ToUtf8(m_controller.CameraName()) +
                            "\" is back; live video again.");
            break;
        }
    }
    return stopped;
}

void CHeadlessService::ShowClock() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    platform::LocalTime(now, local);
    m_printer.ShowClock(Label(langkey::kClockLabel), FormatClockText(local), Label(langkey::kOnlineLabel),
                        m_controller.Online());
}

void CHeadlessService::SaveSettings() {
    ServiceSettings values;
    values.strDID = platform::ToUpper(m_strDidField);
    values.strPassword = m_strPasswordField;
    values.nQualityMode = m_nQualityMode == settings::kQualityHigh ? settings::kQualityHigh : settings::kQualityNormal;
    values.strLanguage = m_strLanguage.empty() ? std::u16string(kDefaultLanguage) : m_strLanguage;
    values.strCameraName = m_controller.CameraName();
    if (!m_controller.SaveSettings(values)) Message(SaveFailedText(m_pack));
}

void CHeadlessService::ApplyConfig(const ServiceConfig& config) {
    m_config = config;
    m_options = m_commandLine;
    if (!m_options.did && config.did) m_options.did = platform::Utf8ToUtf16(*config.did);
    if (!m_options.password && config.password) m_options.password = platform::Utf8ToUtf16(*config.password);
    if (!m_options.camera && config.camera) m_options.camera = *config.camera;
}

std::optional<int> CHeadlessService::StartService(const std::optional<std::string>& cameraOption) {
    StartRequest request;
    const bool chosen = ChooseCamera(cameraOption);
    if (!chosen && m_options.bWaitForCamera && m_controller.WaitsForLostCamera()) {
        // Waited for by the name given, else the stored one, else any camera.
        long position = 0;
        const bool named = cameraOption && !CameraPosition(*cameraOption, position);
        request.awaitCamera = named ? platform::Utf8ToUtf16(*cameraOption) : m_controller.CameraName();
        m_nCamera = -1;
        m_printer.Print(request.awaitCamera->empty()
                            ? std::string("ZELT2Service: no camera is plugged in; viewers get the still picture while "
                                          "the service waits for one.")
                            : "ZELT2Service: the camera \"" + platform::Utf16ToUtf8(*request.awaitCamera) +
                                  "\" is not plugged in; viewers get the still picture while the service waits for it.");
    } else if (!chosen && cameraOption) {
        std::string list;
        const std::vector<std::u16string>& cameras = m_controller.Cameras();
        for (size_t i = 0; i < cameras.size(); ++i) list += "\n  " + std::to_string(i) + ": " + platform::Utf16ToUtf8(cameras[i]);
        m_printer.Print("ZELT2Service: no camera matches \"" + *cameraOption + "\". Cameras:" + (list.empty() ? " none" : list));
        return kExitNoCamera;
    }
    request.nCameraIndex = m_nCamera;
    request.strDidField = m_strDidField;
    request.strPasswordField = m_strPasswordField;
    request.nQualityMode = m_nQualityMode;
    const StartOutcome outcome = m_controller.Start(request);
    TakeEvents();
    if (const std::u16string text = RefusalMessageText(m_pack, outcome); !text.empty()) Message(text);
    switch (outcome) {
    case StartOutcome::Started: break;
    case StartOutcome::NoCamera: return kExitNoCamera;
    case StartOutcome::CameraNotAnswering: return kExitCameraNotAnswering;
    case StartOutcome::EmptyDid:
    case StartOutcome::DidTooLong: return kExitBadDid;
    case StartOutcome::NotTried: return kExitDone;
    }
    const std::string encoder = m_controller.Encoder();
    if (!encoder.empty()) m_printer.Print("ZELT2Service: H.264 encoder: " + encoder);
    return std::nullopt;
}

void CHeadlessService::Reload() {
    if (!m_commandLine.configFile) {
        m_printer.Print("ZELT2Service: SIGHUP: no configuration file to read again (--config).");
        return;
    }
    ServiceConfig config;
    std::string problem;
    if (!ReadServiceConfig(*m_commandLine.configFile, config, problem)) {
        m_printer.Print("ZELT2Service: the configuration is not read again, the service goes on as it was: " + problem);
        return;
    }
    if (config == m_config) {
        m_printer.Print("ZELT2Service: the configuration is read again; nothing changed.");
        return;
    }
    m_printer.Print("ZELT2Service: the configuration changed; the service starts again with it.");
    ApplyConfig(config);
    if (m_options.did) m_strDidField = *m_options.did;
    if (m_options.password) m_strPasswordField = *m_options.password;
    m_controller.Stop();
}

void CHeadlessService::WriteStatus(bool force) {
    if (m_strStatusPath.empty()) return;
    ServiceStatusReport report;
    report.bServing = m_controller.IsListening() && m_controller.IsCapturing();
    report.strStatus = platform::Utf16ToUtf8(StatusLineText(m_pack, m_controller.Status()).value_or(u""));
    report.strCamera = platform::Utf16ToUtf8(m_controller.CameraName());
    report.bCameraAway = m_controller.IsCameraAway();
    report.nViewers = m_controller.Online();
    report.strEncoder = m_controller.Encoder();
    // The frame count alone does not make the file be written each time.
    const std::string stable = FormatServiceStatus(report, platform::CurrentProcessId());
    report.nFramesSent = m_controller.FramesSent();
    const auto now = std::chrono::steady_clock::now();
    if (!force && stable == m_strLastStatus && now - m_lastStatusWrite < kStatusRewritePeriod) return;
    m_strLastStatus = stable;
    m_lastStatusWrite = now;
    if (!WriteServiceStatus(m_strStatusPath, FormatServiceStatus(report, platform::CurrentProcessId())))
        ZTRACE("the status file %s cannot be written\n", m_strStatusPath.c_str());
}

int CHeadlessService::Run(const HeadlessOptions& options, const ServiceConfig& fileConfig) {
    m_commandLine = options;
    ApplyConfig(fileConfig);
    LoadSettingsAndLanguage();
    m_controller.Initialize();
    m_nCamera = m_controller.StoredCameraIndex();
    if (!m_strLanguage.empty()) m_pack.Load(LanguagePackPath(m_strModuleDir, m_strLanguage));
    TakeEvents();
    ShowStatus();
    m_strStatusPath = ServiceStatusPath();

    if (m_options.did) m_strDidField = *m_options.did;
    if (m_options.password) m_strPasswordField = *m_options.password;
    int status = kExitDone;
    std::optional<int> refused = StartService(m_options.camera);
    bool started = !refused;
    if (refused) status = *refused;
    WriteStatus(true);

    auto nextClock = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (started && !g_bStop.load()) {
        {
            std::unique_lock<std::mutex> hold(m_eventLock);
            m_eventSignal.wait_for(hold, kSignalPollPeriod, [&] { return !m_events.empty(); });
        }
        if (const std::optional<StopReason> stopped = TakeEvents()) {
            status = *stopped == StopReason::DidRefused ? kExitDidRefused : kExitServiceStopped;
            m_printer.Print(*stopped == StopReason::DidRefused
                                ? "ZELT2Service: the transport will not listen under this DID; stopping. A DID is 1 to 20 "
                                  "letters (A to Z), digits, '-' or '_'."
                                : "ZELT2Service: the service has stopped (was the camera unplugged?).");
            break;
        }
        if (g_bReload.exchange(false)) {
            Reload();
            if (!m_controller.IsListening()) {
                m_nCamera = m_controller.StoredCameraIndex();
                if ((refused = StartService(m_options.camera))) {
                    status = *refused;
                    break;
                }
                WriteStatus(true);
            }
        }
        if (std::chrono::steady_clock::now() >= nextClock) {
            ShowClock();
            WriteStatus(false);
            nextClock += std::chrono::seconds(1);
        }
    }
    m_controller.Stop();
    SaveSettings();
    WriteStatus(true);
    m_controller.Shutdown();
    return status;
}

}  // namespace

int RunHeadless(ControllerConfig config, const std::string& strModuleDir, const HeadlessOptions& options, FILE* out,
                bool terminal) {
    platform::HandleStopRequests(&OnStopRequest, &OnReloadRequest);
    // Status lines to a reader that went away must not end the service
    // before it has saved its settings.
    platform::IgnoreBrokenPipe();
    // Headless, nobody is there to press the button again: a lost camera is
    // waited for unless the settings say otherwise.
    config.bWaitForLostCamera = true;
    ServiceConfig fileConfig;
    if (options.configFile) {
        std::string problem;
        if (!ReadServiceConfig(*options.configFile, fileConfig, problem)) {
            if (out != nullptr) std::fprintf(out, "ZELT2Service: %s\n", problem.c_str());
            return kExitUsage;
        }
        if (fileConfig.encoder) config.strEncoder = *fileConfig.encoder;
    }
    CHeadlessService service(std::move(config), strModuleDir, out, terminal);
    return service.Run(options, fileConfig);
}

}  // namespace app
