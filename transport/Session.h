#pragma once
// One session: eight channels of bytes over one link, framed (Wire.h).
//
// The threads that call the session do the socket work themselves whenever
// they can, as with a plain socket: a writer hands its frame to the link at
// once when nothing waits before it (and first pushes out what does); a reader
// whose channel is empty receives from the link itself, the payload of its own
// channel straight into its buffer, and while it waits it is the one that
// watches the link ("leading" reader), so an arriving message costs one thread
// switch, not two. A writer waiting in WaitBuffer likewise sends the queue
// itself as the link drains.
//
// A pump thread per session does the rest: it sends what writers left queued,
// receives while no reader does, sends keepalives when the session has been
// quiet, and notices a peer that has gone silent.
//
// On a link that cannot tell what reached the peer (ILink::NeedsAcks), with a
// peer that speaks Acks, the receiving side acknowledges the Data payload it
// got (every kAckEveryBytes, or ackDelayMs after the first unacknowledged
// byte; the receiving thread marks the Ack due, the pump sends it), and the
// sending side counts its backlog as payload written minus the peer's last
// Ack: that is what CheckBuffer reports and what Write and WaitBuffer limit.
//
// Locks: m_sendLock (send queue, Send) may be held while taking m_recvLock
// (channels, parser, Receive, end state), never the other way round. Neither
// is held across a blocking call: the link blocks only in Wait and
// WaitReadable, which are called with no lock held. m_ackLock is taken last
// and only to wake writers waiting for Acks.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/ByteQueue.h"
#include "transport/InitString.h"
#include "transport/Link.h"
#include "transport/Wire.h"

namespace pppp {

// Unacknowledged payload after which an Ack goes out at once.
constexpr uint32_t kAckEveryBytes = 16 * 1024;

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
    uint32_t ackDelayMs = 50;      // longest a received byte waits for its Ack (links that need Acks)
};

// A session's parameters from the configuration: side 0 (accepted) or 1
// (opened), the peer's version and dead-peer time from its greeting.
SessionParams MakeSessionParams(const CConfig& config, uint8_t side, const std::string& did, uint8_t peerVersion,
                                uint32_t peerDeadMs);

class CSession {
public:
    CSession(const SessionParams& params, std::shared_ptr<ILink> link);
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
    // The channel binding (LinkInfo::binding) when the link has one and the
    // peer's version says its login is bound to it: the size written, else 0.
    int Binding(uint8_t* out, int size) const;
    // Ends the session here. With linger the pump still sends what was
    // written (at most lingerMs) and a goodbye; without, it stops at once.
    // Without wakePump the pump learns it at its next turn or by WakePump;
    // several sessions are so marked closed before any of their sockets goes.
    void Close(bool linger, bool wakePump = true);
    void WakePump();

    // PPPP_OK while open; otherwise the gone result.
    int State() const;

private:
    void Pump();
    // Receives what the link has now (under m_recvLock). Bytes for `channel`
    // may go straight to the reader's buffer `direct` of `room` bytes, of
    // which the first *delivered are filled already; *delivered grows with
    // what goes there. Returns bytes received, 0 for none, LinkEnded.
    long ReceiveLocked(int channel, uint8_t* direct, size_t room, size_t* delivered);
    // Frames `size` received bytes into the channels; payload of `channel`
    // goes to `direct` (at *delivered) while its queue is empty and there is room.
    void ParseLocked(const uint8_t* data, size_t size, int channel, uint8_t* direct, size_t room, size_t* delivered);
    // Frames and sends; what the link does not take now is queued. Under m_sendLock.
    void SendFrameLocked(uint8_t type, uint8_t channel, const uint8_t* payload, uint32_t size);
    void FlushLocked();
    void End(int reason);
    void EndLocked(int reason);  // under m_recvLock
    bool AnyChannelFull() const;  // under m_recvLock
    // Data payload arrived: marks an Ack due (under m_recvLock); wakes the
    // pump unless the pump is the caller.
    void NoteReceivedLocked(bool onPump);
    // An Ack's count arrived (under m_recvLock); a false one ends the session.
    void TakeAckLocked(uint64_t count);
    // Sends the Ack when it is due (the pump, no lock held).
    void SendAckIfDue();
    // Payload written that the peer has not acknowledged.
    uint64_t Unacknowledged() const;
    int WaitAcknowledged(uint64_t most, uint32_t timeoutMs);
    void WakeAckWaiters();

    const SessionParams m_params;
    const bool m_bCountAcks;  // the link needs Acks and the peer speaks them
    const uint64_t m_qwOpenedMs;
    uint32_t m_dwPingMs;
    uint64_t m_qwReaderLookMs;  // how often the pump looks while a calling thread watches the link

    std::thread m_pump;
    std::atomic<bool> m_bPumpDone{false};
    std::atomic<bool> m_bClosed{false};   // closed here
    std::atomic<bool> m_bNoLinger{false};
    std::atomic<int> m_nEnd{0};           // set once: why the peer side ended

    // The link: used by the pump without a lock (only the pump replaces it),
    // by others under one of the locks; reset under both.
    std::shared_ptr<ILink> m_pLink;
    LinkInfo m_linkInfo;

    // Receive side, under m_recvLock.
    mutable std::mutex m_recvLock;
    std::condition_variable m_cvRead;
    CByteQueue m_aChannels[kChannelCount];
    bool m_bPaused = false;               // a channel is full: nobody receives
    bool m_bLeader = false;               // a reader watches the link
    int m_nReaders = 0;                   // threads inside Read: they receive, the pump keeps out
    std::unique_ptr<uint8_t[]> m_pStaging;
    uint8_t m_abyHeader[kFrameHeaderSize] = {};
    size_t m_nHeaderGot = 0;
    FrameHeader m_frame;                  // frame being received, when m_nHeaderGot is complete
    uint32_t m_dwFrameLeft = 0;
    uint32_t m_dwLastFrameLength = 0;     // a large one: read the next header alone
    std::atomic<uint64_t> m_qwLastReceiveMs;
    std::atomic<uint64_t> m_qwBytesReceived{0};  // Data payload
    uint8_t m_abyAck[kAckPayloadSize] = {};      // an Ack's count being received
    uint64_t m_qwAckedHere = 0;           // received payload our last Ack covered
    uint64_t m_qwAckDue = 0;              // when the next Ack must go (ms), 0: none owed
    bool m_bAckNow = false;               // enough unacknowledged payload: Ack at once
    std::atomic<uint64_t> m_qwPeerAcked{0};  // the peer's last Ack; written under m_recvLock

    // Send side, under m_sendLock.
    std::mutex m_sendLock;
    std::condition_variable m_cvSent;
    CByteQueue m_queue;                   // whole frames, the first maybe partly sent
    std::atomic<uint32_t> m_dwQueued{0};  // m_queue.Size(), readable without the lock
    std::atomic<uint64_t> m_qwLastSendMs;
    std::atomic<uint64_t> m_qwBytesSent{0};
    int m_nSentWaiters = 0;
    bool m_bWriteLeader = false;          // a waiting writer watches the link
    bool m_bGoodbyeQueued = false;

    // Writers waiting in WaitBuffer for the peer's Acks.
    std::mutex m_ackLock;
    std::condition_variable m_cvAcked;
};

// Starts a thread without letting the standard library's exception escape.
bool StartThread(std::thread& thread, std::function<void()> body);

}  // namespace pppp
