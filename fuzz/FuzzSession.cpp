#include "fuzz/FuzzSession.h"

namespace fuzzsession {

CFuzzDevice::CFuzzDevice(ReadFunction read)
    : m_table(testsupport::NullTransport(read)),
      m_server(m_table, m_host),
      m_probe(m_server) {
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
