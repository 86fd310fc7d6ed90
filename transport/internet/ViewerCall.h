#pragma once
// The viewer side of the internet route: one call from this process to a
// device by its DID. The steps, in order:
//   FindDevice   the broker is reached and says the device is present;
//   Call         the call goes out and the device's offer (or refusal) comes back;
//   AnswerOffer  a peer of our own takes the offer and answers it;
//   OpenChannel  candidates are traded until the data channel opens;
//   Greet        Hello on the channel, the device's Welcome (or Refuse), the session.
// A call that fails after FindDevice says bye, so the device lets its attempt go at once.
//
// Threads: FindDevice and Open on the calling viewer's thread; Deliver on the
// broker client's thread; Stop on any.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "transport/DeviceSide.h"
#include "transport/InitString.h"
#include "transport/internet/Config.h"
#include "transport/internet/PeerConnection.h"
#include "transport/internet/SignallingPort.h"
#include "transport/internet/WebRtcLink.h"

namespace pppp {

class CViewerCall {
public:
    // Messages of one call waiting to be taken; a flood is cut, not queued without end.
    static constexpr size_t kMaxInbox = 256;

    CViewerCall(const CConfig& config, const CRendezvousConfig& rendezvous, std::shared_ptr<ISignalling> signalling,
                const PeerFactory& makePeer, ISessionHost& host, std::string did);
    ~CViewerCall();
    CViewerCall(const CViewerCall&) = delete;
    CViewerCall& operator=(const CViewerCall&) = delete;

    const std::string& Did() const { return m_strDid; }
    const std::string& Sid() const { return m_strSid; }

    // PPPP_OK when the device is present, else -6.
    int FindDevice(uint64_t deadlineMs);
    // The remaining steps: the session's handle, or -6 not found, -7 refused,
    // -3 time-out, -10 too many.
    int Open(uint64_t deadlineMs);

    // A message of this call from the device.
    void Deliver(SignalMessage message);
    // Makes the steps give up soon.
    void Stop();

private:
    int Call(uint64_t deadlineMs);
    int AnswerOffer(const SignalMessage& offer);
    int OpenChannel(uint64_t deadlineMs);
    int Greet(uint64_t deadlineMs);
    // Says bye and closes the peer (a call that failed).
    void GiveUp();
    bool Send(SignalMessage message);
    // The next message of this call, or false at `untilMs` or a stop.
    bool Next(SignalMessage* out, uint64_t untilMs);
    bool Stopping();

    const CConfig& m_config;
    const CRendezvousConfig& m_rendezvous;
    const std::shared_ptr<ISignalling> m_pSignalling;
    const PeerFactory& m_makePeer;
    ISessionHost& m_host;
    const std::string m_strDid;
    const std::string m_strSid;
    const uint64_t m_qwStartedMs;
    std::shared_ptr<CWebRtcLink> m_pLink;  // from the offer on; this thread only

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<SignalMessage> m_inbox;
    bool m_bStopping = false;
};

}  // namespace pppp
