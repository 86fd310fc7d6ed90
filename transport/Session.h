#pragma once
// One session: eight channels of bytes over one link, framed (Wire.h).
//
// Each session has a pump thread that receives frames into the channels'
// queues, sends what writers could not hand to the link at once, sends
// keepalives when the session has been quiet, and notices a peer that has gone
// silent. Writers hand their frame to the link directly when nothing waits
// before it, so a write on a healthy session costs no thread switch.
//
// Locks: m_sendLock (send queue, the link) may be held while taking m_recvLock
// (channels, end state), never the other way round. Neither is held across a
// blocking call: the link never blocks except in the pump's Wait.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/ByteQueue.h"
#include "transport/Link.h"
#include "transport/Wire.h"

namespace pppp {

struct SessionParams {
    int handle = 0;
    uint8_t side = 0;              // 0 device (accepted), 1 viewer (opened)
    uint8_t peerVersion = kProtocolVersion;
    std::string did;
    uint32_t keepaliveMs = 2000;   // longest quiet time before a keepalive
    uint32_t deadPeerMs = 9000;    // silence after which the peer is gone
    uint32_t peerDeadMs = 0;       // the peer's own dead time (0: unknown); we stay well inside it
    uint32_t channelBufferBytes = 256 * 1024;
    uint32_t sendQueueBytes = 1024 * 1024;
    uint32_t lingerMs = 1000;      // how long a closed session still tries to send what was written
};

class CSession {
public:
    CSession(const SessionParams& params, std::unique_ptr<ILink> link);
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Starts the pump thread; false when no thread can be made.
    bool Start();
    // True once the pump has ended (the link is released); Join then returns at once.
    bool PumpDone() const { return m_bPumpDone.load(); }
    void Join();

    int Handle() const { return m_params.handle; }

    int Read(uint8_t channel, char* buffer, int* size, uint32_t timeoutMs);
    int Write(uint8_t channel, const char* buffer, int size);
    int CheckBuffer(uint8_t channel, unsigned int* writePending, unsigned int* readPending);
    int WaitBuffer(uint32_t maxQueued, uint32_t timeoutMs);
    int Check(uint8_t* record);
    // Ends the session here. With linger the pump still sends what was
    // written (at most lingerMs) and a goodbye; without, it stops at once.
    void Close(bool linger);

    // PPPP_OK while open; otherwise the gone result.
    int State() const;

private:
    void Pump();
    void ReceiveAvailable(uint8_t* staging, size_t stagingSize);
    void Parse(const uint8_t* data, size_t size);
    // Frames and sends; what the link does not take now is queued. Under m_sendLock.
    void SendFrameLocked(uint8_t type, uint8_t channel, const uint8_t* payload, uint32_t size);
    void FlushLocked();
    void End(int reason);
    bool AnyChannelFull() const;  // under m_recvLock
    void WakePump();

    const SessionParams m_params;
    const uint64_t m_qwOpenedMs;
    uint32_t m_dwPingMs;

    std::thread m_pump;
    std::atomic<bool> m_bPumpDone{false};
    std::atomic<bool> m_bClosed{false};   // closed here
    std::atomic<bool> m_bNoLinger{false};
    std::atomic<int> m_nEnd{0};           // set once: why the peer side ended

    // Receive side.
    mutable std::mutex m_recvLock;
    std::condition_variable m_cvRead;
    CByteQueue m_aChannels[kChannelCount];
    bool m_bPaused = false;               // a channel is full: the pump stops receiving
    uint8_t m_abyHeader[kFrameHeaderSize] = {};
    size_t m_nHeaderGot = 0;
    FrameHeader m_frame;                  // frame being received, when m_nHeaderGot is complete
    uint32_t m_dwFrameLeft = 0;
    std::atomic<uint64_t> m_qwLastReceiveMs;
    std::atomic<uint64_t> m_qwBytesReceived{0};

    // Send side.
    std::mutex m_sendLock;
    std::condition_variable m_cvSent;
    std::unique_ptr<ILink> m_pLink;       // released by the pump when it ends
    std::deque<std::vector<uint8_t>> m_queue;
    size_t m_nFrontSent = 0;
    std::atomic<uint32_t> m_dwQueued{0};
    std::atomic<uint64_t> m_qwLastSendMs;
    std::atomic<uint64_t> m_qwBytesSent{0};
    int m_nSentWaiters = 0;
    bool m_bGoodbyeQueued = false;
    LinkInfo m_linkInfo;
};

// Starts a thread without letting the standard library's exception escape.
bool StartThread(std::thread& thread, std::function<void()> body);

}  // namespace pppp
