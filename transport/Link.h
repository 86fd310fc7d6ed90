#pragma once
// How a session's bytes travel. The session layer (framing, channels,
// keepalive, queues) works on this interface only; the built-in route is a
// TCP connection (TcpLink.h), and relayed or browser routes can be added as
// further links without touching sessions.
//
// Threads: one pump thread per session calls Wait. Receive runs under the
// session's receive lock (on the pump or on a reading thread), Send under its
// send lock (on the pump or on a writing thread), so neither runs twice at
// once. WaitReadable runs on at most one reading thread at a time, and
// WaitWritable on at most one writing thread. Wake, WakeReader and WakeWriter
// may be called from any thread; UnsentBytes runs under the send lock.

#include <cstddef>
#include <cstdint>

namespace pppp {

struct LinkInfo {
    uint8_t path = 0;               // PPPP_PATH_*: 0 TCP on this host or the LAN, 1 internet data channel
    uint8_t route = 0;              // PPPP_ROUTE_*: 0 direct; relayed routes use other values
    uint8_t remoteAddr[4] = {};     // IPv4, network order
    uint16_t remotePort = 0;
    uint8_t localAddr[4] = {};
    uint16_t localPort = 0;
    // Internet route: a key of the viewer's broker account, the identity the
    // broker checked (AccountKey); zero elsewhere.
    uint8_t account[3] = {};
    // A link that encrypts with certificates (the internet route's DTLS):
    // the value derived from the two certificates its handshake used
    // (internet/ChannelBinding.h), so that a login can be tied to it.
    bool bound = false;
    uint8_t binding[32] = {};
};

class ILink {
public:
    virtual ~ILink() = default;

    enum : int { Readable = 1, Writable = 2, Woken = 4 };
    // Waits until the link has bytes to receive (when wantRead), can take bytes
    // (when wantWrite), Wake was called, or timeoutMs passed (-1: no limit).
    // Returns a mix of the flags above; 0 on time-out. A link that has ended
    // reports Readable, so that Receive tells how.
    virtual int Wait(bool wantRead, bool wantWrite, int timeoutMs) = 0;
    // Non-blocking. Bytes received (> 0); 0 when none are there now; LinkEnded
    // when the peer closed the link or it broke.
    virtual long Receive(uint8_t* buffer, size_t size) = 0;
    // Non-blocking, two pieces sent as one stream (a frame header and its
    // payload without copying them together). Bytes taken (maybe fewer than
    // offered, maybe 0); LinkEnded when the link is gone.
    virtual long Send(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize) = 0;
    // Bytes taken by Send that have not left this host yet. A link that must
    // ask the system may instead answer, without asking, with a bound of its
    // own that is never below the true count: what the system held unsent
    // when last asked plus what Send took since, as long as that comes to at
    // most `estimateUpTo` (0: always ask) and Send took something since.
    virtual uint32_t UnsentBytes(uint32_t estimateUpTo) = 0;
    // Makes a pending or the next Wait return with Woken.
    virtual void Wake() = 0;
    // For a reading thread that receives by itself while the pump does not
    // watch: waits until bytes can be received (or the link has ended),
    // WakeReader is called, or timeoutMs pass. Returns Readable, Woken or 0.
    virtual int WaitReadable(int timeoutMs) = 0;
    virtual void WakeReader() = 0;
    // The same for a writing thread that waits to send what is queued:
    // returns Writable, Woken or 0.
    virtual int WaitWritable(int timeoutMs) = 0;
    virtual void WakeWriter() = 0;
    // Tells the peer no more bytes come (after a goodbye), keeps receiving.
    virtual void FinishSending() = 0;
    virtual void Describe(LinkInfo* info) = 0;
    // True for a link that cannot tell how much of what it took has reached
    // the peer (a data channel hides what waits inside it). On such a link
    // the session counts its backlog by the peer's Ack frames instead of
    // UnsentBytes, and sends Acks itself.
    virtual bool NeedsAcks() const { return false; }

    static constexpr long LinkEnded = -1;
};

}  // namespace pppp
