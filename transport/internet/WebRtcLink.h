#pragma once
// The internet route's link: a session's bytes in the WebRTC data channel of
// one peer connection. Each message is at most kMaxMessage bytes (larger ones
// are lost by some implementations), so writes are cut into such pieces; what
// arrives is queued until the session receives it. The channel hides what
// waits inside it, so the session counts its backlog by the peer's
// acknowledgements (NeedsAcks).

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "transport/ByteQueue.h"
#include "transport/Link.h"
#include "transport/internet/PeerConnection.h"

namespace pppp {

class CWebRtcLink final : public ILink, public IChannelSink {
public:
    static constexpr size_t kMaxMessage = 16384;
    // Send takes nothing while the channel holds more than this.
    static constexpr uint64_t kSendCap = 256 * 1024;
    // A peer that sends far beyond what the session acknowledged breaks the protocol.
    static constexpr size_t kMaxUnread = 16 * 1024 * 1024;

    CWebRtcLink() = default;
    ~CWebRtcLink() override;

    // The peer whose channel this is; the link closes it when it goes.
    void SetPeer(std::unique_ptr<IPeerConnection> peer);
    IPeerConnection* Peer() { return m_pPeer.get(); }
    bool IsOpen();
    bool HasEnded();
    // Waits until the channel is open or has ended; true when open.
    bool WaitOpen(uint64_t deadlineMs);
    // Closes the peer connection now (an attempt that failed).
    void Shut();
    // The broker-checked account of the viewer at the other end (device side),
    // reported by Describe as its AccountKey.
    void SetPeerAccount(const std::string& account);

    int Wait(bool wantRead, bool wantWrite, int timeoutMs) override;
    long Receive(uint8_t* buffer, size_t size) override;
    long Send(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize) override;
    uint32_t UnsentBytes(uint32_t estimateUpTo) override;
    void Wake() override;
    int WaitReadable(int timeoutMs) override;
    void WakeReader() override;
    int WaitWritable(int timeoutMs) override;
    void WakeWriter() override;
    void FinishSending() override;
    void Describe(LinkInfo* info) override;
    bool NeedsAcks() const override { return true; }

    void OnChannelOpen() override;
    void OnChannelMessage(const uint8_t* data, size_t size) override;
    void OnChannelEnded() override;
    void OnBufferedAmountLow() override;

private:
    int WaitFor(bool wantRead, bool wantWrite, bool* woken, int timeoutMs);
    bool CanSend();

    std::unique_ptr<IPeerConnection> m_pPeer;  // set once before use
    std::mutex m_lock;
    std::condition_variable m_cv;
    CByteQueue m_received;
    bool m_bOpen = false;
    bool m_bEnded = false;
    bool m_bWakePump = false, m_bWakeReader = false, m_bWakeWriter = false;
    LinkInfo m_info;
    uint8_t m_account[3] = {};
};

// The 24-bit key of a broker account: FNV-1a of its name, folded, never all 0.
void AccountKey(const std::string& account, uint8_t key[3]);

}  // namespace pppp
