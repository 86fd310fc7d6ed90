#pragma once
// What the roles of the session server share: the transport's table, the
// owner, the slot table, the rolling scramble byte and the running flag, and
// the one way to send a viewer a control packet. The listener, the command
// handler and the fan-out each hold a reference to one context; the server
// owns it and outlives all three.

#include <atomic>
#include <cstdint>

#include "service/session/SessionHost.h"
#include "service/session/SlotTable.h"
#include "transport/client/PpppTable.h"
#include "wire/Sealing.h"

namespace session {

struct SessionContext {
    SessionContext(const PpppTable& transport, ISessionHost& owner)
        : pppp(transport), host(owner), slotTable(transport) {}
    SessionContext(const SessionContext&) = delete;
    SessionContext& operator=(const SessionContext&) = delete;

    // Builds a control packet, seals it unless it is plain, and writes it on
    // the control channel; the write's result. Any thread; `handle` must be
    // held by a CSlotUse for the call.
    int SendIOCtrl(int32_t handle, const uint8_t* key, uint16_t command, const uint8_t* payload, uint32_t length,
                   uint8_t kind);

    const PpppTable& pppp;
    ISessionHost& host;
    CSlotTable slotTable;
    CPacketSealer byScramble;
    // Every thread of the server runs only while it is set.
    std::atomic<bool> bRunning{false};
};

}  // namespace session
