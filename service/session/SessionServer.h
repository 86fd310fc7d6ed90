#pragma once
// The service side of viewer sessions: listening under the device's DID, the
// table of eight session slots, one reader per session that frames the
// viewer's packets and carries out its commands, a watchdog for the login
// deadline, and the fan-out that seals every encoded frame for every viewer
// who has video on. Each role has its file: Listener.cpp (listener, watchdog,
// reader), Commands.cpp (login and commands), Fanout.cpp; they share the slot
// table (SlotTable.h), through which every use of a session's handle goes.
//
// Threads: the owner's (start, stop, still frames, timers), the listener, the
// watchdog, one reader per occupied slot, and whatever thread delivers encoded
// frames. Slot flags are atomics read without a lock. Each slot's lock guards
// only the moments when a session enters or leaves it and the counting of the
// uses of its handle; it is never held across a call into the transport. Two
// locks of the server are: the fan-out's, around a whole frame (its writes do
// not block), and the report lock around one round of mode reports. The camera
// channel's own lock is held around a mode change.

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

namespace session {

inline constexpr uint32_t kAuthDeadlineMs = 10000;     // from accept to a successful login
inline constexpr uint32_t kWatchdogPeriodMs = 100;
inline constexpr uint32_t kReadTimeoutMs = 1000;
inline constexpr unsigned int kListenWaitSeconds = 600;
inline constexpr uint32_t kReadSliceMs = 100;           // a reader lets go of its handle this often
inline constexpr uint32_t kBackPressureBytes = 0xFFFF;  // more than this waiting on the video channel skips the viewer
inline constexpr uint32_t kMakeWayWaitMs = 3000;        // longest wait for a session that makes way
inline constexpr uint32_t kListenBackoffLimitMs = 1000; // longest pause between failing listens
inline constexpr uint32_t kVideoTimerPeriodMs = 2500;
inline constexpr size_t kDidBufferSize = 24;
inline constexpr int kMaxMode = 3;

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
    void SeedScramble(uint8_t value) { m_byScramble.Seed(value); }

    // Starts the watchdog and the listener. `didField` is trimmed and turned to
    // upper case, `passwordField` taken as typed; both are read only here, so
    // later changes take effect at the next start. Returns 0 (also when already
    // running) or -1 when a thread cannot be started.
    int StartListening(std::u16string_view didField, std::u16string_view passwordField);
    // Stops listening and waits for the listener and the watchdog. The readers
    // end by themselves within one read time-out; WaitForReaders waits for them.
    void StopListening();
    void WaitForReaders();

    // Timer 101, the still-frame poll: started by a viewer's VideoStart, stopped
    // by any viewer's VideoStop and by the owner when the service stops.
    void StartVideoTimer();
    void StopVideoTimer();

    // The fan-out: one sealed VideoFrame on the video channel to every viewer
    // with video on. Calls never overlap.
    void OnEncodedFrame(const EncodedFrame& frame) override;

    // The time base of frame timestamps; the capture takes it when it starts.
    void SetCaptureStart(uint32_t tick) { m_dwCaptureStart.store(tick); }
    // Frees the packet buffer at teardown; later frames are dropped.
    void FreePacketBuffer();

    bool IsRunning() const { return m_bRunning.load(); }
    int Online() const { return m_slots.Online(); }
    int Mode() const { return m_nMode.load(); }
    uint32_t VideoTimer() const { return m_nVideoTimer.load(); }
    // The DID and password of the current (or last) run. The DID also carries
    // the stored setting while the service is stopped.
    const std::u16string& DID() const { return m_strDID; }
    void SetDID(std::u16string did) { m_strDID = std::move(did); }
    const std::u16string& Password() const { return m_strPassword; }

private:
    friend class CSessionServerProbe;  // tests, benchmarks and the fuzzer

    // Listener.cpp
    static void ThreadListen(void* server);
    static void ThreadWatchdog(void* server);
    static void ThreadRecv(void* slot);
    void DoListen();
    void DoWatchdog();
    void DoRecv(SessionSlot& slot);
    int ReadExact(SessionSlot& slot, uint8_t channel, uint8_t* buffer, int wanted, uint32_t timeoutMs);
    // Waits `ms` on the replaceable clock in short steps; false as soon as the
    // slot closes or the server stops.
    bool PauseReader(const SessionSlot& slot, uint32_t ms);
    void JoinStoppedThreads();

    // Commands.cpp
    int SendIOCtrl(int32_t handle, const uint8_t* key, uint16_t command, const uint8_t* payload, uint32_t length,
                   uint8_t kind);
    void DoAuth(SessionSlot& slot, const uint8_t* body);
    // Waits until the slot's next login answer may be looked at; false when
    // the session ends meanwhile.
    bool AwaitAnswerTurn(SessionSlot& slot);
    void DoCommand(SessionSlot& slot, const uint8_t* body);
    void ChangeMode(int mode);

    // Fanout.cpp
    // Milliseconds since capture start for a frame's timestampMs.
    uint32_t Timestamp() const;

    const PpppTable& m_pppp;
    ISessionHost& m_host;

    std::atomic<bool> m_bRunning{false};
    std::u16string m_strDID;
    std::u16string m_strPassword;
    platform::CThread m_hListenThread;
    platform::CThread m_hWatchdogThread;
    CSlotTable m_slots;
    CLoginThrottle m_throttle;

    std::atomic<int> m_nMode{0};
    std::mutex m_reportLock;  // one ModeReport round at a time
    std::mutex m_videoTimerLock;
    std::atomic<uint32_t> m_nVideoTimer{0};

    std::mutex m_fanoutLock;  // one frame at a time: the packet buffer is shared
    std::unique_ptr<uint8_t[]> m_pPacketBuf;
    std::atomic<uint32_t> m_dwCaptureStart{0};
    CPacketSealer m_byScramble;
};

}  // namespace session
