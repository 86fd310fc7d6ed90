#pragma once
// A session server with one session in slot 0 whose reader runs on the
// calling thread, over a transport whose reads come from the caller and whose
// writes go nowhere. The session's password, challenge and key are fixed, so
// that seed inputs can log in and seal commands.

#include "service/session/SessionServer.h"
#include "tests/support/NullTransport.h"
#include "tests/support/SessionServerProbe.h"

namespace fuzzsession {

inline constexpr char16_t kPassword[] = u"fuzz";
inline constexpr uint8_t kChallenge[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
inline constexpr uint8_t kSessionKey[16] = {0xC0, 0xFF, 0xEE, 0x01, 0x23, 0x45, 0x67, 0x89,
                                            0xAB, 0xCD, 0xEF, 0x10, 0x32, 0x54, 0x76, 0x98};
inline constexpr int kHandle = 7;

using ReadFunction = int (*)(int, unsigned char, char*, int*, unsigned int);

class CFuzzDevice {
public:
    explicit CFuzzDevice(ReadFunction read);
    // Occupies slot 0 afresh, sets its state from `flags` and runs its reader
    // until the reads fail, which frees the slot again.
    void RunReader(uint8_t flags);

private:
    pppp::PpppTable m_table;
    testsupport::CNullHost m_host;
    session::CSessionServer m_server;
    session::CSessionServerProbe m_probe;
};

}  // namespace fuzzsession
