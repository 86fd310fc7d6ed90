#include "service/app/console/HeadlessService.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>

#include "platform/Text.h"
#include "service/app/DialogIds.h"
#include "service/app/DialogUtil.h"
#include "service/app/LangKeys.h"
#include "service/app/ServiceApp.h"
#include "service/app/ServiceTexts.h"
#include "service/app/console/StatusPrinter.h"

namespace app {
namespace {

std::atomic<bool> g_bStop{false};
void OnSignal(int) { g_bStop.store(true); }

constexpr auto kSignalPollPeriod = std::chrono::milliseconds(100);

// What the controller tells, kept until the front end's thread takes it.
struct Event {
    enum class Kind { Status, CaptureFailed, Stopped } kind;
    std::string strProblem;
    StopReason reason = StopReason::CameraLost;
};

class CHeadlessService final : private IServiceObserver {
public:
    CHeadlessService(ControllerConfig config, const std::string& moduleDir, FILE* out, bool terminal)
        : m_strModuleDir(moduleDir), m_printer(out, terminal), m_controller(std::move(config), *this) {}

    int Run(const HeadlessOptions& options);

private:
    void OnStatusChanged(int) override { Push(Event{Event::Kind::Status, {}, {}}); }
    void OnCaptureFailed(const std::string& problem) override { Push(Event{Event::Kind::CaptureFailed, problem, {}}); }
    void OnServiceStopped(StopReason reason) override { Push(Event{Event::Kind::Stopped, {}, reason}); }
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

    std::string m_strModuleDir;
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

bool CHeadlessService::ChooseCamera(const std::optional<std::string>& option) {
    const std::vector<std::u16string>& cameras = m_controller.Cameras();
    const int count = static_cast<int>(cameras.size());
    if (option) {
        char* end = nullptr;
        const long position = std::strtol(option->c_str(), &end, 10);
        if (!option->empty() && *end == '\0') {
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
        case Event::Kind::Stopped: stopped = event.reason; break;
        }
    }
    return stopped;
}

void CHeadlessService::ShowClock() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
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

int CHeadlessService::Run(const HeadlessOptions& options) {
    LoadSettingsAndLanguage();
    m_controller.Initialize();
    m_nCamera = m_controller.StoredCameraIndex();
    if (!m_strLanguage.empty()) m_pack.Load(LanguagePackPath(m_strModuleDir, m_strLanguage));
    TakeEvents();
    ShowStatus();

    if (options.did) m_strDidField = *options.did;
    if (options.password) m_strPasswordField = *options.password;
    int status = kExitDone;
    bool started = false;
    if (!ChooseCamera(options.camera) && options.camera) {
        std::string list;
        const std::vector<std::u16string>& cameras = m_controller.Cameras();
        for (size_t i = 0; i < cameras.size(); ++i) list += "\n  " + std::to_string(i) + ": " + platform::Utf16ToUtf8(cameras[i]);
        m_printer.Print("ZELT2Service: no camera matches \"" + *options.camera + "\". Cameras:" + (list.empty() ? " none" : list));
        status = kExitNoCamera;
    } else {
        StartRequest request;
        request.nCameraIndex = m_nCamera;
        request.strDidField = m_strDidField;
        request.strPasswordField = m_strPasswordField;
        request.nQualityMode = m_nQualityMode;
        const StartOutcome outcome = m_controller.Start(request);
        TakeEvents();
        if (const std::u16string text = RefusalMessageText(m_pack, outcome); !text.empty()) Message(text);
        switch (outcome) {
        case StartOutcome::Started: started = true; break;
        case StartOutcome::NoCamera: status = kExitNoCamera; break;
        case StartOutcome::CameraNotAnswering: status = kExitCameraNotAnswering; break;
        case StartOutcome::EmptyDid:
        case StartOutcome::DidTooLong: status = kExitBadDid; break;
        case StartOutcome::NotTried: break;
        }
    }

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
        if (std::chrono::steady_clock::now() >= nextClock) {
            ShowClock();
            nextClock += std::chrono::seconds(1);
        }
    }
    m_controller.Stop();
    SaveSettings();
    m_controller.Shutdown();
    return status;
}

}  // namespace

int RunHeadless(ControllerConfig config, const std::string& strModuleDir, const HeadlessOptions& options, FILE* out,
                bool terminal) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // Status lines to a reader that went away must not end the service
    // before it has saved its settings.
    std::signal(SIGPIPE, SIG_IGN);
    CHeadlessService service(std::move(config), strModuleDir, out, terminal);
    return service.Run(options);
}

}  // namespace app
