#include "viewer/ViewerClient.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/Clock.h"

namespace viewer {

using namespace session;
using pppp::IsSessionGone;
using pppp::PpppTable;

namespace {

constexpr uint32_t kVideoBodyCapacity = kControlBlockSize + kMaxFramePayload;
constexpr uint32_t kControlBodyCapacity = kControlBlockSize + kReceiveBufferSize;
constexpr uint32_t kVideoIdleMs = 50;         // how long a video read waits before the control channel is looked at
constexpr uint32_t kPacketCompleteMs = 5000;  // a packet begun must arrive whole within this
constexpr uint32_t kReadSliceMs = 200;
constexpr uint32_t kProgressPeriodMs = 1000;
constexpr uint32_t kLingerMs = 300;           // after VideoStop, before closing
constexpr uint32_t kConnectRetryMs = 100;
     // between attempts at an address where nothing listens yet

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// A bound login that did not hold.
std::string InterceptedText(const std::string& did, const char* why) {
    return Format("The connection to device %s may be intercepted: %s. Someone between you and the device (for "
                  "example whoever runs the rendezvous) may be trying to read it, so the login was stopped.",
                  did.c_str(), why);
}

}  // namespace

double ViewerStats::Fps() const {
    if (frames < 2 || firstFrameMs < 0 || elapsedMs <= firstFrameMs) return 0.0;
    return static_cast<double>(frames - 1) * 1000.0 / static_cast<double>(elapsedMs - firstFrameMs);
}

void ViewerStats::AddArrival(uint32_t arrivedMs, uint32_t stampMs) {
    if (!m_bArrived) {
        m_bArrived = true;
        m_dwFirstArrivalMs = arrivedMs;
        m_dwFirstStampMs = stampMs;
        return;
    }
    // Differences of 32-bit ticks stay right across a wrap.
    const int64_t arrived = static_cast<uint32_t>(arrivedMs - m_dwFirstArrivalMs);
    const int64_t stamped = static_cast<uint32_t>(stampMs - m_dwFirstStampMs);
    delayGrowthMs = arrived - stamped;
    maxDelayGrowthMs = std::max(maxDelayGrowthMs, delayGrowthMs);
}

const char* StatusName(ViewerStatus status) {
    switch (status) {
        case kViewerDone: return "done";
        case kViewerFailed: return "transport failure";
        case kViewerUsage: return "usage";
        case kViewerDeviceNotFound: return "device not found";
        case kViewerWrongPassword: return "wrong password";
        case kViewerSessionLost: return "session lost";
        case kViewerOutputFailed: return "output failed";
        case kViewerIntercepted: return "connection may be intercepted";
    }
    return "unknown";
}

CViewerClient::CViewerClient(const PpppTable& transport, ViewerOptions options)
    : m_pppp(transport),
      m_options(std::move(options)),
      m_protocol(m_options.password),
      m_pVideo(new uint8_t[kVideoBodyCapacity]),
      m_pControl(new uint8_t[kControlBodyCapacity]) {
    m_options.did = Upper(m_options.did);
}

CViewerClient::~CViewerClient() {
    if (m_hSession >= 0) m_pppp.Close(m_hSession);
}

ViewerStatus CViewerClient::Fail(ViewerStatus status, std::string message) {
    m_strMessage = std::move(message);
    return status;
}

ViewerStatus CViewerClient::Run(IViewerEvents& events) {
    ViewerStatus status = Connect(events);
    if (status == kViewerDone) status = Login(events);
    if (status == kViewerDone) status = Receive(events);
    if (m_hSession >= 0) {
        if (status == kViewerDone && m_options.videoStop) {
            uint8_t packet[64];
            if (Send(packet, m_protocol.BuildVideoStop(packet, sizeof packet))) {
                events.OnStatus("VideoStop sent");
                Linger(kLingerMs);
            }
        }
        m_pppp.Close(m_hSession);
        m_hSession = -1;
    }
    return status;
}

std::string RouteText(const PPPP_SessionRecord& record) {
    const uint8_t* r = record.bytes;
    const uint8_t* a = r + PPPP_REC_REMOTE_ADDR;
    const unsigned port = r[PPPP_REC_REMOTE_PORT] | (r[PPPP_REC_REMOTE_PORT + 1] << 8);
    if (r[PPPP_REC_PATH] != PPPP_PATH_INTERNET)
        return Format("route: local network (TCP), device at %u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], port);
    static const char* const kRelays[] = {"direct", "relayed over UDP", "relayed over TCP", "relayed over TLS"};
    const uint8_t route = r[PPPP_SESSION_ROUTE_OFFSET];
    return Format("route: internet, %s, peer %u.%u.%u.%u:%u", route < 4 ? kRelays[route] : "relayed", a[0], a[1], a[2],
                  a[3], port);
}

ViewerStatus CViewerClient::Connect(IViewerEvents& events) {
    const char* did = m_options.did.c_str();
    int h;
    const uint32_t started = platform::GetTickCount();
    if (m_options.address.empty()) {
        events.OnStatus(Format("Looking for device %s ...", did));
        h = m_pppp.Connect(did, m_options.connectTimeoutMs);
    } else {
        events.OnStatus(Format("Connecting to device %s at %s ...", did, m_options.address.c_str()));
        // Nothing listening there yet is answered at once; the device may be
        // about to start, so it is tried again until the time is up.
        const uint32_t start = platform::GetTickCount();
        for (;;) {
            const uint32_t spent = platform::GetTickCount() - start;
            const uint32_t left = spent < m_options.connectTimeoutMs ? m_options.connectTimeoutMs - spent : 0;
            h = m_pppp.ConnectTo(did, m_options.address.c_str(), left > 0 ? left : 1);
            if (h != PPPP_ERR_DEVICE_NOT_FOUND || left <= kConnectRetryMs || m_bCancel.load()) break;
            platform::Sleep(kConnectRetryMs);
        }
    }
    if (h >= 0) {
        m_hSession = h;
        PPPP_SessionRecord record{};
        if (m_pppp.Check && m_pppp.Check(h, &record) == PPPP_OK) events.OnStatus(RouteText(record));
        return kViewerDone;
    }
    // The time really spent: a device known to be absent is reported at once.
    const double seconds = (platform::GetTickCount() - started) / 1000.0;
    switch (h) {
        case PPPP_ERR_BAD_DID:
            return Fail(kViewerUsage, Format("\"%s\" is not a valid device identifier (DID).", did));
        case PPPP_ERR_DEVICE_NOT_FOUND:
        case PPPP_ERR_TIMEOUT:
            if (!m_options.address.empty())
                return Fail(kViewerDeviceNotFound, Format("No device %s answers at %s (waited %.1f s).", did,
                                                          m_options.address.c_str(), seconds));
            // Found (it answered the call) but no connection opened: the way
            // between the two networks is blocked, not the device missing.
            if (h == PPPP_ERR_TIMEOUT)
                return Fail(kViewerDeviceNotFound,
                            Format("Device %s was found but no connection to it could be opened (tried for %.1f s).",
                                   did, seconds));
            return Fail(kViewerDeviceNotFound,
                        Format("No device answers for DID %s: it is not online (looked for %.1f s).", did, seconds));
        case PPPP_ERR_REFUSED:
            return Fail(kViewerDeviceNotFound,
                        m_options.address.empty()
                            ? Format("Device %s refused the session (it is busy answering other viewers, "
                                     "does not grant this viewer account, or speaks another protocol "
                                     "version).",
                                     did)
                            : Format("The device at %s refused a session for DID %s.", m_options.address.c_str(), did));
        case PPPP_ERR_TOO_MANY:
            return Fail(kViewerFailed, "No more sessions can be opened in this process.");
        case PPPP_ERR_NOT_INITIALISED:
            return Fail(kViewerFailed, "The transport is not initialised.");
        default:
            return Fail(kViewerFailed, Format("Cannot open a session to device %s (transport error %d).", did, h));
    }
}

ViewerStatus CViewerClient::Login(IViewerEvents& events) {
    events.OnStatus("Connected; logging in ...");
    // Over the internet route the login is bound to the channel's certificates.
    PPPP_SessionRecord record{};
    if (m_pppp.Check(m_hSession, &record) == PPPP_OK && record.bytes[PPPP_REC_PATH] == PPPP_PATH_INTERNET) {
        uint8_t binding[kBindingSize];
        if (!m_pppp.Channel_Binding ||
            m_pppp.Channel_Binding(m_hSession, binding, sizeof binding) != static_cast<int>(kBindingSize))
            return Fail(kViewerSessionLost, Format("The connection to device %s cannot say which certificates it "
                                                   "uses, so the login would not be safe; not logging in.",
                                                   m_options.did.c_str()));
        m_protocol.BindToChannel(binding);
    }
    PacketHeader header{};
    const ReadResult r = ReadPacket(kChannelControl, m_pControl.get(), kControlBodyCapacity, header,
                                    m_options.loginTimeoutMs, kPacketCompleteMs);
    if (r == kIdle)
        return Fail(kViewerSessionLost, Format("Device %s sent no login challenge within %.0f s.",
                                               m_options.did.c_str(), m_options.loginTimeoutMs / 1000.0));
    if (r != kRead)
        // A device that serves eight viewers ends a new session before its challenge.
        return Fail(kViewerSessionLost, Format("Device %s is busy: it serves eight viewers already (it ended the "
                                               "session before the login). Try again later.",
                                               m_options.did.c_str()));
    ServerMessage m;
    const bool opened =
        m_protocol.Open(kChannelControl, header.kind, m_pControl.get(), header.bodyLength, m) == kOpenOk;
    if (opened && m.type == ServerMessageType::AuthRefused && m.payloadLength == 1 &&
        m.payload[0] == kRefusedNoPassword)
        return Fail(kViewerWrongPassword, Format("Device %s has no password, so it admits no viewer over the "
                                                 "internet; its owner must set a password first.",
                                                 m_options.did.c_str()));
    if (!opened || m.type != ServerMessageType::Challenge)
        return Fail(kViewerSessionLost, "The device did not begin with a login challenge.");

    uint8_t packet[128];
    if (!Send(packet, m_protocol.BuildAuthResponse(m.payload, m.payloadLength, packet, sizeof packet)))
        return Fail(kViewerSessionLost, "The session broke off during the login.");

    // A reply other than the two expected ones is passed over.
    for (;;) {
        const ReadResult reply = ReadPacket(kChannelControl, m_pControl.get(), kControlBodyCapacity, header,
                                            m_options.loginTimeoutMs, kPacketCompleteMs);
        if (reply == kIdle)
            return Fail(kViewerSessionLost, Format("Device %s did not answer the login within %.0f s.",
                                                   m_options.did.c_str(), m_options.loginTimeoutMs / 1000.0));
        if (reply != kRead) return Fail(kViewerSessionLost, "The session broke off during the login.");
        if (m_protocol.Open(kChannelControl, header.kind, m_pControl.get(), header.bodyLength, m) != kOpenOk)
            continue;
        if (m.type == ServerMessageType::AuthRefused && m.payloadLength == 1 &&
            m.payload[0] == kRefusedOtherChannel)
            return Fail(kViewerIntercepted, InterceptedText(m_options.did,
                                                   "the device sees other certificates on this connection"));
        if (m.type == ServerMessageType::AuthRefused)
            return Fail(kViewerWrongPassword,
                        m_protocol.IsBound()
                            ? Format("Login to device %s refused: wrong password, or the connection may be "
                                     "intercepted.",
                                     m_options.did.c_str())
                            : Format("Wrong password for device %s.", m_options.did.c_str()));
        if (m.type == ServerMessageType::AuthAccepted) break;
    }
    if (!m_protocol.AcceptSessionKey(m.payload, m.payloadLength)) {
        if (m_protocol.IsBound())
            return Fail(kViewerIntercepted, InterceptedText(m_options.did,
                                                   "the acceptance was not made over this connection"));
        return Fail(kViewerSessionLost, "The device's login reply carries no session key.");
    }
    events.OnStatus("Logged in");
    if (!events.OnLoggedIn()) return Fail(kViewerOutputFailed, "");

    if (m_options.markSet && !Send(packet, m_protocol.BuildMarkSet(packet, sizeof packet)))
        return Fail(kViewerSessionLost, "The session broke off after the login.");
    if (m_options.markClear && !Send(packet, m_protocol.BuildMarkClear(packet, sizeof packet)))
        return Fail(kViewerSessionLost, "The session broke off after the login.");
    return kViewerDone;
}

ViewerStatus CViewerClient::Receive(IViewerEvents& events) {
    uint8_t packet[64];
    m_dwVideoStart = platform::GetTickCount();
    if (!Send(packet, m_protocol.BuildVideoStart(m_options.mode, packet, sizeof packet)))
        return Fail(kViewerSessionLost, "The session broke off before video was asked for.");
    events.OnStatus(m_options.mode ? Format("VideoStart sent (mode %u)", *m_options.mode) : "VideoStart sent");

    uint32_t nextProgress = m_dwVideoStart + kProgressPeriodMs;
    for (;;) {
        const uint32_t now = platform::GetTickCount();
        m_stats.elapsedMs = now - m_dwVideoStart;
        if (m_bCancel.load()) break;
        if (m_options.durationMs != 0 && m_stats.elapsedMs >= m_options.durationMs) break;
        if (m_options.frameLimit != 0 && m_stats.frames >= m_options.frameLimit) break;
        if (static_cast<int32_t>(now - nextProgress) >= 0) {
            events.OnProgress(m_stats);
            nextProgress += kProgressPeriodMs;
        }

        bool gone = false;
        PacketHeader header{};
        if (ControlPending(gone)) {
            const ReadResult r = ReadPacket(kChannelControl, m_pControl.get(), kControlBodyCapacity, header,
                                            kPacketCompleteMs, kPacketCompleteMs);
            if (r == kRead) HandleControl(events, header);
            gone = r == kGone || r == kBroken;
        }
        if (gone)
            return Fail(kViewerSessionLost,
                        Format("The session was lost: device %s closed it or stopped answering.", m_options.did.c_str()));

        const ReadResult r =
            ReadPacket(kChannelVideo, m_pVideo.get(), kVideoBodyCapacity, header, kVideoIdleMs, kPacketCompleteMs);
        if (r == kIdle) continue;
        if (r == kGone)
            return Fail(kViewerSessionLost,
                        Format("The session was lost: device %s closed it or stopped answering.", m_options.did.c_str()));
        if (r == kBroken)
            return Fail(kViewerSessionLost, "The session was lost: the video stream broke off in mid-packet.");

        ServerMessage m;
        if (m_protocol.Open(kChannelVideo, header.kind, m_pVideo.get(), header.bodyLength, m) != kOpenOk ||
            m.type != ServerMessageType::VideoFrame) {
            ++m_stats.unopened;
            continue;
        }
        const uint32_t at = platform::GetTickCount() - m_dwVideoStart;
        ViewerFrame frame{m.payload, m.payloadLength, IsKeyFrame(m.payload, m.payloadLength), m.deltaFrame,
                          m.viewerCount, m.timestampMs};
        m_stats.AddArrival(at, m.timestampMs);
        ++m_stats.frames;
        m_stats.bytes += m.payloadLength;
        m_stats.viewerCount = m.viewerCount;
        if (m_stats.firstFrameMs < 0) m_stats.firstFrameMs = at;
        if (frame.key) {
            ++m_stats.keyFrames;
            if (m_stats.firstKeyFrameMs < 0) m_stats.firstKeyFrameMs = at;
        }
        if (!events.OnFrame(frame)) return Fail(kViewerOutputFailed, "The frames could not be written.");
    }
    m_stats.elapsedMs = platform::GetTickCount() - m_dwVideoStart;
    events.OnProgress(m_stats);
    return kViewerDone;
}

void CViewerClient::HandleControl(IViewerEvents& events, const PacketHeader& header) {
    ServerMessage m;
    if (m_protocol.Open(kChannelControl, header.kind, m_pControl.get(), header.bodyLength, m) != kOpenOk) {
        ++m_stats.unopened;
        return;
    }
    if (m.type != ServerMessageType::ModeReport) return;
    ++m_stats.modeReports;
    m_stats.mode = m.mode;
    events.OnModeReport(m.mode);
}

bool CViewerClient::ControlPending(bool& gone) {
    unsigned int pending = 0;
    const int r = m_pppp.Check_Buffer(m_hSession, kChannelControl, nullptr, &pending);
    gone = IsSessionGone(r);
    return r == PPPP_OK && pending > 0;
}

CViewerClient::ReadResult CViewerClient::ReadPacket(uint8_t channel, uint8_t* buffer, uint32_t capacity,
                                                    PacketHeader& header, uint32_t idleMs, uint32_t completeMs) {
    // Reads `wanted` bytes; before the first byte of a packet the wait is
    // `idleMs` (then kIdle), from that byte on `completeMs` (then kBroken).
    auto readAll = [&](uint8_t* out, uint32_t wanted, bool packetBegun) -> ReadResult {
        uint32_t have = 0;
        uint32_t start = platform::GetTickCount();
        while (have < wanted) {
            const bool begun = packetBegun || have > 0;
            const uint32_t limit = begun ? completeMs : idleMs;
            const uint32_t spent = platform::GetTickCount() - start;
            if (spent >= limit) return begun ? kBroken : kIdle;
            const uint32_t left = limit - spent;
            int size = static_cast<int>(wanted - have);
            const int r = m_pppp.Read(m_hSession, channel, reinterpret_cast<char*>(out + have), &size,
                                      left < kReadSliceMs ? left : kReadSliceMs);
            if (size > 0) {
                if (have == 0 && !begun) start = platform::GetTickCount();
                have += static_cast<uint32_t>(size) < wanted - have ? static_cast<uint32_t>(size) : wanted - have;
            }
            if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return kGone;
        }
        return kRead;
    };
    uint8_t head[kHeaderSize];
    ReadResult r = readAll(head, kHeaderSize, false);
    if (r != kRead) return r;
    header = ReadHeader(head);
    if (header.bodyLength < kControlBlockSize || header.bodyLength > capacity) return kBroken;
    return readAll(buffer, header.bodyLength, true);
}

bool CViewerClient::Send(const uint8_t* packet, size_t size) {
    if (size == 0) return false;
    return m_pppp.Write(m_hSession, kChannelControl, reinterpret_cast<const char*>(packet), static_cast<int>(size)) >= 0;
}

void CViewerClient::Linger(uint32_t ms) {
    // Whatever is still on its way is read and dropped, so that the device
    // sees the command before the session closes.
    const uint32_t start = platform::GetTickCount();
    PacketHeader header{};
    while (platform::GetTickCount() - start < ms) {
        const ReadResult r =
            ReadPacket(kChannelVideo, m_pVideo.get(), kVideoBodyCapacity, header, kVideoIdleMs, kPacketCompleteMs);
        if (r == kGone || r == kBroken) return;
    }
}

}  // namespace viewer
