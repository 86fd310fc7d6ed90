#pragma once
// CServiceController: the running service, free of any window. It owns the
// transport's start and end, the session server, the camera channel, the live
// video over the platform's capture, the still frames and their schedule, and
// the stored settings. A front end (the window logic, the headless mode, a
// system service) asks it to start and stop and hears back through
// IServiceObserver.
//
// Frames take one road down: the capture's thread -> CLiveVideo -> the
// session server's fan-out; and every 2500 ms while a viewer has video on:
// the controller's thread -> CStillFrames -> the same fan-out.
//
// Threads: the front end's (construction, Initialize, the settings, Start,
// Stop, Shutdown, the accessors); the controller's own thread, on which every
// start and stop of the service runs (Start and Stop wait for it), as do the
// stops the service makes by itself and the still-frame ticks; the session
// server's threads and the capture's threads, which reach it through
// ISessionHost and ILiveVideoOwner and only ever hand work over.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/app/WorkQueue.h"
#include "service/camera/CameraXU.h"
#include "service/session/SessionServer.h"
#include "service/settings/RegStore.h"
#include "service/settings/Settings.h"
#include "service/video/Capture.h"
#include "service/video/LiveVideo.h"
#include "service/video/StillFrames.h"
#include "transport/client/PpppTable.h"

namespace app {

// Status codes of the service, shown on the status line.
inline constexpr int kStatusStopped = 0;
inline constexpr int kStatusRunning = 1;
inline constexpr int kStatusApiInitFailure = 2;
inline constexpr int kStatusNoCamera = 3;
inline constexpr int kStatusCaptureFailed = 4;
inline constexpr int kStatusWrongDid = session::kStatusWrongDid;  // 5

// The longest DID, in bytes of its 8-bit form.
inline constexpr size_t kDidMaxBytes = 20;

// The still-frame schedule's identifier, as the session server keeps it.
inline constexpr uint32_t kStillFrameSchedule = 101;

// Makes this platform's capture (or a test's).
using CaptureFactory = std::function<std::unique_ptr<video::ICapture>()>;

// What the service is built with.
struct ControllerConfig {
    // The transport's functions and its initialisation string.
    const pppp::PpppTable* pPppp = nullptr;
    int (*pfnShareBandwidth)(char enable) = nullptr;  // may be null
    std::string strInitString;
    // The current user's registry: the settings and the encoder's bitrate.
    settings::IRegistry* pRegistry = nullptr;
    // Called once, by the constructor; must make a capture.
    CaptureFactory makeCapture;
    // When the camera is lost while serving: false stops the service (the
    // window's way); true keeps serving the stored still frame and waits for
    // a camera of the same name. The registry value "WaitForCamera" (DWORD,
    // in the settings' key) overrides it either way.
    bool bWaitForLostCamera = false;
    // The H.264 encoder to force (the capture's name for it); empty: the
    // capture chooses.
    std::string strEncoder;
};

// How often a lost camera is looked for: a USB camera plugged in again takes
// a second or two to be listed, and one look costs a listing of the capture
// nodes and, when the name is there, a capture's start. It is also the still
// frames' period, so the viewers' picture and the look share one tick.
inline constexpr uint32_t kCameraLookPeriodMs = 2500;
// How often a viewer starting video may make the camera be asked at once
// whether it has a picture (besides the still-frame poll).
inline constexpr uint32_t kStillCheckGapMs = 1000;

// Where the window's top left corner was, in desktop coordinates.
struct WindowPosition {
    int32_t nX = 0;
    int32_t nY = 0;
    bool operator==(const WindowPosition&) const = default;
};

// The five stored settings, and what the window keeps beside them.
struct ServiceSettings {
    std::u16string strDID;       // stored upper-cased, blanks kept
    std::u16string strPassword;  // exactly as typed
    int32_t nQualityMode = settings::kQualityNormal;
    std::u16string strLanguage;  // empty: none stored
    std::u16string strCameraName;
    // None: nothing stored (loading), or leave what is stored (saving).
    std::optional<WindowPosition> windowPosition;
    std::optional<bool> resumeServing;  // serve again at launch ...
    std::optional<bool> servingAtExit;  // ... when it was serving at exit
};

// The stored text of a window position, "x,y"; none when it is not one.
std::optional<WindowPosition> ParseWindowPosition(std::u16string_view text);

// What a start asks for: the front end's fields as the user left them.
struct StartRequest {
    int nCameraIndex = -1;  // position in Cameras(); -1 none chosen
    std::u16string strDidField;
    std::u16string strPasswordField;
    int32_t nQualityMode = settings::kQualityNormal;  // 1 high, 2 normal
    // When no camera is chosen (none plugged in yet, as after a reboot with
    // the camera unplugged): serve the stored still frame and wait for a
    // camera whose name begins with this (empty: any camera), as for a lost
    // camera. Only when lost cameras are waited for; otherwise NoCamera.
    std::optional<std::u16string> awaitCamera;
};

// How a start went. A refusal leaves nothing running.
enum class StartOutcome {
    NotTried,
    Started,             // listening; the capture runs or its failure is the status
    NoCamera,            // no camera chosen (status 3)
    CameraNotAnswering,  // the camera's extension unit cannot be opened
    EmptyDid,            // nothing left of the DID after trimming
    DidTooLong,          // the DID is longer than 20 bytes in its 8-bit form
};

// Why the service stopped by itself.
enum class StopReason {
    DidRefused,  // the transport will not listen under the DID (status 5)
    CameraLost,  // the camera went away while capturing
};

// How a front end hears from the controller. Calls come on any thread
// (the controller's, the session server's, the capture's); an observer hands
// them to its own thread and returns at once, never calling the controller
// back from within.
class IServiceObserver {
public:
    // The status code changed; Status() has the new one.
    virtual void OnStatusChanged(int status) = 0;
    // The capture could not start: `problem` says why, in the capture's own
    // words (a sentence or two of plain text), for a message to the user.
    virtual void OnCaptureFailed(const std::string& problem) = 0;
    // The service stopped by itself; it is stopped when this is called.
    virtual void OnServiceStopped(StopReason reason) = 0;
    // The camera went away while serving and the service waits for it
    // (`away` true; viewers get the still frame), or it is back and live
    // video flows again (`away` false).
    virtual void OnCameraAway(bool away) { (void)away; }
    // Viewers' logins were refused because each was made over another
    // channel than the device's: someone may sit in the middle (`refusals`
    // since the last call; at most one call a minute).
    virtual void OnLoginIntercepted(uint32_t refusals) { (void)refusals; }

protected:
    ~IServiceObserver() = default;
};

class CServiceController final : public session::ISessionHost, private video::ILiveVideoOwner {
public:
    // `observer` outlives the controller.
    CServiceController(ControllerConfig config, IServiceObserver& observer);
    // Stops the service and ends the transport when Shutdown did not.
    ~CServiceController();
    CServiceController(const CServiceController&) = delete;
    CServiceController& operator=(const CServiceController&) = delete;

    // Reads the stored settings into Settings(). False when the key can be
    // neither opened nor created: the defaults stay.
    bool LoadSettings();
    // Writes `values` (and keeps them as Settings()). False when the key
    // cannot be opened or a value did not reach the registry.
    bool SaveSettings(const ServiceSettings& values);
    const ServiceSettings& Settings() const { return m_settings; }

    // Clears the session table, initialises the transport (status 2 when it
    // refuses, else status 0), lists the cameras and loads the still frames.
    // Once, after LoadSettings.
    void Initialize();
    const std::vector<std::u16string>& Cameras() const { return m_astrCameras; }
    // The index of the first camera, after the first and wrapping round, whose
    // name begins with the stored camera's (case ignored); -1 when none does
    // or none is stored.
    int StoredCameraIndex() const;

    // Starts the service: the camera must answer and the DID must do; then
    // listening and the live video. Refusals start nothing.
    StartOutcome Start(const StartRequest& request);
    // Stops whatever runs; harmless when nothing does. `status` is what the
    // status shows afterwards; none keeps it (a lost camera, a refused DID).
    void Stop(std::optional<int> status = std::nullopt);
    // Stop, then frees the fan-out's buffer and ends the transport; the last
    // call before destruction.
    void Shutdown();

    int Status() const { return m_nStatus.load(); }
    bool IsListening() const { return m_server.IsRunning(); }
    bool IsCapturing() const { return m_liveVideo.IsRunning(); }
    int Online() const { return m_server.Online(); }
    bool TransportInitialised() const { return m_nP2PInit >= 0; }
    bool StillFramesScheduled() const { return m_queue.IsRepeating(); }
    // The camera's last status query, while viewers watch, said it has no
    // picture: viewers are sent the stored still. False when not known.
    bool CameraHasNoPicture() const { return m_bCameraNoPicture.load(); }
    // The camera of the last start (or the stored one).
    // The camera served (or waited for); it may change on the controller's
    // thread when a camera waited for by the beginning of its name comes.
    std::u16string CameraName() const {
        std::lock_guard<std::mutex> hold(m_encoderLock);
        return m_settings.strCameraName;
    }
    // Serving, but the camera is gone and the service waits for it.
    bool IsCameraAway() const { return m_bCameraAway.load(); }
    bool WaitsForLostCamera() const { return m_bWaitForLostCamera.load(); }
    // Frames handed to the viewers' fan-out: live ones and the stills sent
    // while the camera is away. Any thread.
    uint64_t FramesSent() const { return m_liveVideo.FramesPassed() + m_nAwayStills.load(); }
    // The encoder of the last capture that started; empty before one has.
    // The front end's thread, after Start.
    std::string Encoder() const;

    // Who is shown the live preview (video/Preview.h), or nullptr: while
    // nobody is, the preview costs nothing. Any thread; once it returns, the
    // sink it replaced is not called any more.
    void SetPreviewSink(video::IPreviewSink* sink) { m_liveVideo.SetPreviewSink(sink); }

    // Returns once the work handed to the controller's thread so far has run.
    void Flush() { m_queue.Flush(); }

    // ISessionHost (the session server's threads).
    void SetStatus(int status) override;
    void StopCapture() override;
    void ChangeCameraMode(int mode, const std::function<bool()>& apply) override;
    uint32_t SetVideoTimer() override;
    void KillVideoTimer(uint32_t timerId) override;
    void RequestKeyFrame() override;
    void RequestStillCheck() override;
    void ReportInterceptedLogin(uint32_t refusals) override;

private:
    // ILiveVideoOwner (a capture thread).
    void OnCameraLost() override;

    // On the controller's thread.
    StartOutcome DoStart(const StartRequest& request);
    void StopService();
    void StopByItself(StopReason reason);
    void BeginCameraAway(bool tell);
    void OnStillFrameTick();
    void OnCameraAwayTick();
    void SendStillNow();
    void SetStatusCode(int status);

    ControllerConfig m_config;
    IServiceObserver& m_observer;
    int m_nP2PInit = -1;
    std::atomic<int> m_nStatus{kStatusStopped};
    ServiceSettings m_settings;
    settings::CRegStore m_regStore;
    std::vector<std::u16string> m_astrCameras;

    camera::CCameraXU m_camXU;
    session::CSessionServer m_server;
    std::unique_ptr<video::ICapture> m_pCapture;
    video::CLiveVideo m_liveVideo;
    video::CStillFrames m_stills;
    // The camera and still quality of the current run, for the readers' mode
    // changes and the still-frame ticks.
    std::atomic<int> m_nCameraIndex{-1};
    std::atomic<bool> m_bHighQuality{false};
    // The camera lost while serving is being waited for. Set and cleared on
    // the controller's thread; the still-frame schedule's start and stop
    // (the session server's threads) read it, and the schedule runs while
    // either a viewer wants stills or the camera is away.
    std::atomic<bool> m_bWaitForLostCamera{false};
    std::atomic<bool> m_bCameraAway{false};
    std::atomic<bool> m_bStillsWanted{false};
    std::atomic<uint64_t> m_nAwayStills{0};
    video::LiveVideoRequest m_lastLive;  // the controller's thread
    // The camera waited for since the start is known by the beginning of its
    // name only, until it is found (the controller's thread).
    bool m_bAwaitByPrefix = false;
    mutable std::mutex m_encoderLock;  // also the camera's name in m_settings
    std::string m_strEncoder;
    std::atomic<bool> m_bCameraNoPicture{false};
    std::mutex m_stillCheckLock;
    std::optional<uint32_t> m_lastStillCheck;  // tick of the last look asked by a viewer
    // Started and not yet stopped; the controller's thread only.
    bool m_bServing = false;
    bool m_bShutDown = false;
    // Last: its thread ends before anything it runs goes.
    CWorkQueue m_queue;
};

}  // namespace app
