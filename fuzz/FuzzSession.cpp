#include "fuzz/FuzzSession.h"

namespace fuzzsession {
namespace {

int Listen(const char*, unsigned int, unsigned int, char) { return PPPP_ERR_INTERRUPTED; }
int Zero() { return PPPP_OK; }
int Init(const char*) { return PPPP_OK; }
int Check(int, PPPP_SessionRecord*) { return PPPP_OK; }
int Write(int, unsigned char, const char*, int size) { return size; }
int CheckBuffer(int, unsigned char, unsigned int* w, unsigned int* r) {
    if (w) *w = 0;
    if (r) *r = 0;
    return PPPP_OK;
}
int Close(int) { return PPPP_OK; }
int Connect(const char*, unsigned int) { return PPPP_ERR_DEVICE_NOT_FOUND; }
int ConnectTo(const char*, const char*, unsigned int) { return PPPP_ERR_DEVICE_NOT_FOUND; }

}  // namespace

CFuzzDevice::CFuzzDevice(ReadFunction read)
    : m_table{Init, Zero, Listen, Zero, Check, read, Write, CheckBuffer, Close, Connect, ConnectTo},
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
