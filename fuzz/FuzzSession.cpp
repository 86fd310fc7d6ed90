#include "fuzz/FuzzSession.h"

#include <atomic>

#include "platform/Clock.h"

namespace fuzzsession {
namespace {

// Time that passes as soon as anyone waits: the waits a wrong login answer
// costs are taken in full, without holding the fuzzer up.
class CJumpingClock final : public platform::IClock {
public:
    uint32_t GetTickCount() override { return m_dwNow.load(); }
    void Sleep(uint32_t ms) override { m_dwNow.fetch_add(ms); }

private:
    std::atomic<uint32_t> m_dwNow{1000};
};

}  // namespace

CFuzzDevice::CFuzzDevice(ReadFunction read)
    : m_table(testsupport::NullTransport(read)),
      m_server(m_table, m_host),
      m_probe(m_server) {
    static CJumpingClock clock;
    platform::SetClock(&clock);
    m_server.SeedScramble(0x3C);
}

void CFuzzDevice::RunReader(uint8_t flags) {
    m_probe.SetRunning(true);
    m_probe.Occupy(0, kHandle, kPassword, kChallenge, kSessionKey, 1000);
    if (flags & 1) m_probe.Slot(0).bAuthed.store(true);
    if (flags & 2) m_probe.Slot(0).bVideoOn.store(true);
    m_probe.DoRecv(0);
}

}  // namespace fuzzsession
