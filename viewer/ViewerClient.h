#pragma once
// One viewer session from start to end: find the device by its DID (or go to
// an address), log in with the password, ask for video, receive and open the
// frames, and leave. ZELT2Viewer is a command line around it; tests run
// several in one process.
//
// The transport must be initialised (PPPP_Initialize) before Run and stays so
// afterwards: one initialisation serves every viewer of the process.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "transport/client/PpppTable.h"
#include "viewer/ViewerProtocol.h"

namespace viewer {

// How a session ended; ZELT2Viewer exits with these.
enum ViewerStatus : int {
    kViewerDone = 0,            // recorded what was asked for, or was cancelled
    kViewerFailed = 1,          // the transport failed in some other way
    kViewerUsage = 2,           // the command line is wrong (an invalid DID too)
    kViewerDeviceNotFound = 3,  // no device answers for the DID (or at the address)
    kViewerWrongPassword = 4,   // the device refused the login
    kViewerSessionLost = 5,     // the session broke off or the device closed it
    kViewerOutputFailed = 6,    // the frames could not be written
    kViewerIntercepted = 7,     // the login did not hold over this connection: someone may sit in the middle
};

struct ViewerOptions {
    std::string did;
    std::string address;            // "host:port": go there instead of looking the DID up
    std::u16string password;
    std::optional<uint32_t> mode;   // camera mode asked for with VideoStart
    uint32_t durationMs = 0;        // 0: no limit
    uint64_t frameLimit = 0;        // 0: no limit
    bool videoStop = false;         // send VideoStop before leaving
    bool markSet = false;           // send MarkSet after the login
    bool markClear = false;         // send MarkClear after the login (after MarkSet)
    uint32_t connectTimeoutMs = 10000;
    uint32_t loginTimeoutMs = 10000;
};

struct ViewerFrame {
    const uint8_t* data;
    uint32_t length;
    bool key;              // begins 00 00 00 01 67 64
    uint8_t deltaFrame;    // as the device marked it
    uint8_t viewerCount;
    uint32_t timestampMs;
};

struct ViewerStats {
    uint64_t frames = 0;
    uint64_t keyFrames = 0;
    uint64_t bytes = 0;
    uint32_t elapsedMs = 0;          // since VideoStart was sent
    int64_t firstFrameMs = -1;       // VideoStart to the first frame, -1 before it
    int64_t firstKeyFrameMs = -1;    // VideoStart to the first key frame, -1 before it
    uint8_t viewerCount = 0;         // as the latest frame said
    uint32_t modeReports = 0;
    int64_t mode = -1;               // as the latest ModeReport said
    uint32_t unopened = 0;           // packets that did not open under the session key
    // How much later the latest frame arrived than the device's clock says it
    // should have, counted from the first frame; and the most it has been. A
    // delay that builds up on the way grows here; a device that skips frames
    // for a slow link keeps it from growing.
    int64_t delayGrowthMs = 0;
    int64_t maxDelayGrowthMs = 0;
    // Frames a second between the first frame and now.
    double Fps() const;
    // Takes a frame's arrival (ms since VideoStart, this side's clock) and its
    // time stamp (the device's clock, which may wrap) into the delay figures.
    void AddArrival(uint32_t arrivedMs, uint32_t stampMs);

private:
    bool m_bArrived = false;
    uint32_t m_dwFirstArrivalMs = 0;
    uint32_t m_dwFirstStampMs = 0;
};

class IViewerEvents {
public:
    // A frame as received, in order. False stops the session (kViewerOutputFailed).
    virtual bool OnFrame(const ViewerFrame& frame) = 0;
    virtual void OnModeReport(uint32_t /*mode*/) {}
    // About once a second while video runs, and once at the end.
    virtual void OnProgress(const ViewerStats& /*stats*/) {}
    // What the session is doing now ("Looking for device ...", "Logged in").
    virtual void OnStatus(const std::string& /*text*/) {}
    // The device has accepted the login; nothing has been received yet. The
    // place to open what the frames go to, so that a run that never gets this
    // far leaves an existing file alone. False ends the session
    // (kViewerOutputFailed) with the events' own message.
    virtual bool OnLoggedIn() { return true; }

protected:
    ~IViewerEvents() = default;
};

// One line naming how a session's bytes travel, e.g. "route: internet, relayed over UDP, ...".
std::string RouteText(const PPPP_SessionRecord& record);

class CViewerClient {
public:
    CViewerClient(const pppp::PpppTable& transport, ViewerOptions options);
    ~CViewerClient();
    CViewerClient(const CViewerClient&) = delete;
    CViewerClient& operator=(const CViewerClient&) = delete;

    // Runs the whole session and returns how it ended. Once only.
    ViewerStatus Run(IViewerEvents& events);
    // Ends a running session soon, as done; from any thread.
    void Cancel() { m_bCancel.store(true); }

    const ViewerStats& Stats() const { return m_stats; }
    // What went wrong, in words for the user; empty after success.
    const std::string& Message() const { return m_strMessage; }

private:
    enum ReadResult { kRead, kIdle, kGone, kBroken };

    ViewerStatus Connect(IViewerEvents& events);
    ViewerStatus Login(IViewerEvents& events);
    ViewerStatus Receive(IViewerEvents& events);
    ViewerStatus Fail(ViewerStatus status, std::string message);
    // Reads one packet of `channel` into `buffer`. With `idleMs` set, gives up
    // with kIdle when nothing at all arrives within that time; a packet begun
    // must be complete within `completeMs`.
    ReadResult ReadPacket(uint8_t channel, uint8_t* buffer, uint32_t capacity, wire::PacketHeader& header,
                          uint32_t idleMs, uint32_t completeMs);
    bool Send(const uint8_t* packet, size_t size);
    bool ControlPending(bool& gone);
    void HandleControl(IViewerEvents& events, const wire::PacketHeader& header);
    void Linger(uint32_t ms);

    const pppp::PpppTable& m_pppp;
    ViewerOptions m_options;
    session::CViewerProtocol m_protocol;
    int m_hSession = -1;
    std::atomic<bool> m_bCancel{false};
    ViewerStats m_stats;
    std::string m_strMessage;
    uint32_t m_dwVideoStart = 0;
    std::unique_ptr<uint8_t[]> m_pVideo;    // one video packet's body
    std::unique_ptr<uint8_t[]> m_pControl;  // one control packet's body
};

// The exit status's name, for messages and tests.
const char* StatusName(ViewerStatus status);

}  // namespace viewer
