#pragma once
// Reaches inside the session server for tests, benchmarks and the fuzzer:
// puts sessions into slots without a listener and runs the reader's steps and
// the command handler on the calling thread.

#include <string_view>

#include "service/session/SessionServer.h"

namespace session {

class CSessionServerProbe {
public:
    explicit CSessionServerProbe(CSessionServer& server) : m_server(server) {}

    SessionSlot& Slot(int i) { return m_server.m_context.slotTable[i]; }
    void SetRunning(bool running) { m_server.m_context.bRunning.store(running); }

    // Occupies slot i as the listener does after an accept, without a reader.
    void Occupy(int i, int32_t handle, std::u16string_view password, const uint8_t (&challenge)[kChallengeSize],
                const uint8_t (&sessionKey)[kKeySize], uint32_t acceptTick, uint32_t address = 0) {
        uint8_t buffer[kPasswordBufferSize];
        MakePasswordBuffer(password, buffer);
        m_server.m_context.slotTable.Occupy(Slot(i), handle, acceptTick, 0, address, buffer, challenge, sessionKey,
                                        &m_server.m_listener);
    }
    uint32_t Generation(int i) { return Slot(i).nGeneration.load(); }

    void DoRecv(int i) { m_server.m_listener.DoRecv(Slot(i)); }
    void DoAuth(int i, const uint8_t* body) { m_server.m_commands.DoAuth(Slot(i), body); }
    void DoCommand(int i, const uint8_t* body) { m_server.m_commands.DoCommand(Slot(i), body); }
    void CloseSlot(int i, uint32_t generation) { m_server.m_context.slotTable.Close(Slot(i), generation); }
    void ReleaseSlot(int i, uint32_t generation) { m_server.m_context.slotTable.Release(Slot(i), generation); }
    int SendIOCtrl(int32_t handle, const uint8_t* key, uint16_t command, const uint8_t* payload, uint32_t length,
                   uint8_t kind) {
        return m_server.m_context.SendIOCtrl(handle, key, command, payload, length, kind);
    }
    int ReadExact(int i, uint8_t* buffer, int wanted, uint32_t timeoutMs) {
        return m_server.m_listener.ReadExact(Slot(i), kChannelControl, buffer, wanted, timeoutMs);
    }

private:
    CSessionServer& m_server;
};

}  // namespace session
