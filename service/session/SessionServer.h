#pragma once
// The service side of viewer sessions, as its owner uses it: a thin
// composition of four parts, each in its own files, that share one
// SessionContext (SessionContext.h): the transport's table, the owner, the
// slot table (SlotTable.h, through which every use of a session's handle
// goes), the rolling scramble byte and the running flag.
//  - CListener (Listener.h): start and stop; the listener, which takes new
//    sessions into slots and sends the challenge; the watchdog of the login
//    deadline; one reader per session that frames the viewer's packets.
//  - CCommandHandler (CommandHandler.h): the login under the login throttle,
//    the commands, the camera mode and the still-frame poll's timer.
//  - CFanout (Fanout.h): every encoded frame, sealed for every viewer who has
//    video on.
//
// Threads: the owner's (start, stop, still frames, timers), the listener, the
// watchdog, one reader per occupied slot, and whatever thread delivers encoded
// frames. Slot flags are atomics read without a lock. Each slot's lock guards
// only the moments when a session enters or leaves it and the counting of the
// uses of its handle; it is never held across a call into the transport. Two
// more locks are: the fan-out's, around a whole frame (its writes do not
// block), and the command handler's report lock around one round of mode
// reports. The camera channel's own lock is held around a mode change.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Thread.h"
#include "wire/Aes.h"
#include "service/session/EncodedFrameSink.h"
#include "transport/client/PpppTable.h"
#include "wire/Sealing.h"
#include "service/session/SessionHost.h"
#include "wire/SessionPacket.h"
#include "service/session/SlotTable.h"
#include "service/session/LoginThrottle.h"
#include "service/session/CommandHandler.h"
#include "service/session/Fanout.h"
#include "service/session/Listener.h"
#include "service/session/SessionContext.h"

namespace session {

class CSessionServer final : public EncodedFrameSink {
public:
    CSessionServer(const PpppTable& transport, ISessionHost& host);
    // Stops listening and waits for every thread of the server.
    ~CSessionServer();
    CSessionServer(const CSessionServer&) = delete;
    CSessionServer& operator=(const CSessionServer&) = delete;

    // Clears the whole session table; before the transport is initialised.
    void ClearSlots();

    // Seeds the rolling scramble byte; the owner does it at every start,
    // right before StartListening.
    void SeedScramble(uint8_t value) { m_context.byScramble.Seed(value); }

    // Starts the watchdog and the listener. `didField` is trimmed and turned to
    // upper case, `passwordField` taken as typed; both are read only here, so
    // later changes take effect at the next start. Returns 0 (also when already
    // running) or -1 when a thread cannot be started.
    int StartListening(std::u16string_view didField, std::u16string_view passwordField);
    // Stops listening and waits for the listener and the watchdog. Every
    // session is closed, which ends its reader's wait at once; WaitForReaders
    // waits for the readers.
    void StopListening();
    void WaitForReaders();

    // Timer 101, the still-frame poll: started by a viewer's VideoStart, stopped
    // by the VideoStop of the last viewer with video on and by the owner when
    // the service stops.
    void StartVideoTimer();
    void StopVideoTimer();

    // The fan-out: one sealed VideoFrame on the video channel to every viewer
    // with video on. Calls never overlap.
    void OnEncodedFrame(const EncodedFrame& frame) override;

    // The time base of frame timestamps; the capture takes it when it starts.
    void SetCaptureStart(uint32_t tick) { m_fanout.SetCaptureStart(tick); }
    // Frees the packet buffer at teardown; later frames are dropped.
    void FreePacketBuffer();

    bool IsRunning() const { return m_context.bRunning.load(); }
    int Online() const { return m_context.slotTable.Online(); }
    int Mode() const { return m_commands.Mode(); }
    uint32_t VideoTimer() const { return m_commands.VideoTimer(); }
    // The DID and password of the current (or last) run. The DID also carries
    // the stored setting while the service is stopped.
    const std::u16string& DID() const { return m_listener.DID(); }
    void SetDID(std::u16string did) { m_listener.SetDID(std::move(did)); }
    const std::u16string& Password() const { return m_listener.Password(); }

private:
    friend class CSessionServerProbe;  // tests, benchmarks and the fuzzer

    // In this order: each part holds references to those before it.
    SessionContext m_context;
    CCommandHandler m_commands;
    CListener m_listener;
    CFanout m_fanout;
};

}  // namespace session
