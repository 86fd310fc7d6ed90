// Whatever a peer might send on a session, read through a real session over an
// in-memory link, and compared byte for byte with a plain parse of the same
// stream: every channel must read back exactly the payload of its data frames
// up to the first frame that ends the session. The link hands the stream out
// in chunks, and the reads ask for amounts, both of sizes the input chooses,
// so that payloads take every way there is (straight into the reader's buffer,
// through the staging buffer, queued for another channel).
//
// Input: byte 0 seeds the chunk sizes, byte 1 the read sizes, byte 2 the order
// in which the channels are read; the rest is the stream. Byte 1 also says
// who the peer is: bit 7 a version-1 peer (to which an Ack is a violation),
// else one that speaks Acks, to which the session first writes 16 times
// byte 2 bytes, so that Acks up to that count are true; bit 6 a link that
// needs Acks (the session then counts and owes them as it receives). The
// greetings' parsers get the stream too, and what they accept must survive a
// round trip.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "transport/Session.h"
#include "transport/Wire.h"

namespace {

using namespace pppp;

// Small deterministic sizes from a seed.
class CSizes {
public:
    explicit CSizes(uint8_t seed) : m_state(seed * 2654435761u + 1) {}
    size_t Next(size_t most) {
        m_state = m_state * 1103515245u + 12345u;
        const uint32_t r = m_state >> 8;
        // Mostly small, sometimes large.
        return 1 + (r % 4 == 0 ? r % most : r % 16);
    }

private:
    uint32_t m_state;
};

class CStreamLink final : public ILink {
public:
    CStreamLink(const uint8_t* data, size_t size, uint8_t seed, bool needsAcks)
        : m_data(data), m_size(size), m_sizes(seed), m_bNeedsAcks(needsAcks) {}
    int Wait(bool, bool, int) override { return Readable | Writable; }
    long Receive(uint8_t* buffer, size_t size) override {
        if (m_at == m_size) return LinkEnded;
        const size_t n = std::min({size, m_size - m_at, m_sizes.Next(70000)});
        std::memcpy(buffer, m_data + m_at, n);
        m_at += n;
        return static_cast<long>(n);
    }
    long Send(const uint8_t*, size_t a, const uint8_t*, size_t b) override { return static_cast<long>(a + b); }
    uint32_t UnsentBytes(uint32_t) override { return 0; }
    void Wake() override {}
    int WaitReadable(int) override { return Readable; }
    void WakeReader() override {}
    int WaitWritable(int) override { return Writable; }
    void WakeWriter() override {}
    void FinishSending() override {}
    bool NeedsAcks() const override { return m_bNeedsAcks; }
    void Describe(LinkInfo* info) override { *info = LinkInfo{}; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
    CSizes m_sizes;
    bool m_bNeedsAcks;
};

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// The stream as the wire rules say, written out plainly: the payload of each
// channel, up to the first frame that is incomplete or ends the session.
// `written`: payload the session sent to a peer that speaks Acks, or none.
void ReferenceParse(const uint8_t* p, size_t n, const uint64_t* written,
                    std::vector<uint8_t> (&channels)[kChannelCount]) {
    size_t at = 0;
    uint64_t acked = 0;
    while (n - at >= 6) {
        const uint8_t type = p[at], channel = p[at + 1];
        const uint32_t length = Get32(p + at + 2);
        at += 6;
        if (type == 0x10) {
            if (channel >= 8 || length > 1048576) return;
            const size_t take = std::min<size_t>(length, n - at);
            channels[channel].insert(channels[channel].end(), p + at, p + at + take);
            at += take;
        } else if (type == 0x13) {
            if (!written || length != 8 || n - at < 8) return;
            uint64_t count = 0;
            for (int i = 7; i >= 0; --i) count = (count << 8) | p[at + static_cast<size_t>(i)];
            if (count < acked || count > *written) return;  // goes back, or past what was sent
            acked = count;
            at += 8;
        } else if (type != 0x11 || length != 0) {
            return;  // a goodbye, an unknown type, a greeting, a keepalive with payload
        }
    }
}

void CheckGreetings(const uint8_t* p, size_t n) {
    uint8_t frame[kFrameHeaderSize + kMaxHandshakePayload];
    Hello hello;
    if (ParseHello(p, n, &hello)) {
        if (!IsValidDid(hello.did.c_str()) || hello.version < 1 || n > kMaxHandshakePayload) std::abort();
        Hello back;
        const size_t size = MakeHello(frame, hello);
        if (!ParseHello(frame + kFrameHeaderSize, size - kFrameHeaderSize, &back) || back.did != hello.did ||
            back.version != hello.version || back.deadPeerMs != hello.deadPeerMs)
            std::abort();
    }
    Welcome welcome;
    if (ParseWelcome(p, n, &welcome)) {
        Welcome back;
        const size_t size = MakeWelcome(frame, welcome);
        if (!ParseWelcome(frame + kFrameHeaderSize, size - kFrameHeaderSize, &back) ||
            back.version != welcome.version || back.deadPeerMs != welcome.deadPeerMs)
            std::abort();
    }
    RefuseReason reason;
    if (ParseRefuse(p, n, &reason) && n > kMaxHandshakePayload) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t* stream = data + 3;
    const size_t length = size - 3;
    CheckGreetings(stream, length);

    const bool speaksAcks = !(data[1] & 0x80);
    const bool needsAcks = data[1] & 0x40;
    const uint64_t written = speaksAcks ? 16u * data[2] : 0;
    std::vector<uint8_t> expected[kChannelCount];
    ReferenceParse(stream, length, speaksAcks ? &written : nullptr, expected);

    SessionParams params;
    params.handle = 1;
    params.did = "FUZZ";
    params.peerVersion = speaksAcks ? kAckVersion : 1;
    params.channelBufferBytes = 64u << 20;  // never full: every channel can be read to its end
    // No pump: the reads receive from the link themselves.
    CSession session(params, std::make_shared<CStreamLink>(stream, length, data[0], needsAcks));
    if (written) {
        const std::vector<char> out(written, 'w');
        if (session.Write(0, out.data(), static_cast<int>(written)) != static_cast<int>(written)) std::abort();
    }
    CSizes readSizes(data[1]);
    std::vector<uint8_t> got(4096);
    for (int k = 0; k < kChannelCount; ++k) {
        const uint8_t channel = static_cast<uint8_t>((data[2] + k * (data[2] % 2 ? 3 : 5)) % kChannelCount);
        std::vector<uint8_t> read;
        for (;;) {
            int want = static_cast<int>(readSizes.Next(got.size()));
            const int r = session.Read(channel, reinterpret_cast<char*>(got.data()), &want, 0);
            read.insert(read.end(), got.begin(), got.begin() + want);
            if (r != PPPP_OK) break;
        }
        if (read != expected[channel]) std::abort();
    }
    return 0;
}
