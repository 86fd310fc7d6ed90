#pragma once
// The service side of viewer sessions: listening under the device's DID, the
// table of eight session slots, one reader per session that frames the
// viewer's packets and carries out its commands, a watchdog for the login
// deadline, and the fan-out that seals every encoded frame for every viewer
// who has video on.
//
// Threads: the owner's (start, stop, still frames, timers), the listener, the
// watchdog, one reader per occupied slot, and whatever thread delivers encoded
// frames. Slot flags are atomics read without a lock. Each slot's lock guards
// only the moments when a session enters or leaves it and the copying of its
// handle and key; no lock is held across a call into the transport, apart from
// the camera channel's own lock around a mode change.
//
// A slot leaves its session in two steps. CloseSlot (any thread) marks the
// slot closing, so that nothing new is sent on it, waits for sends already on
// their way and closes the transport session, which ends the reader's pending
// read. Only the slot's reader, or the listener when no reader was started,
// then clears the slot and makes it free. A late close names the session it
// means by the slot's generation and so can never touch a newer session that
// took the slot meanwhile.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Thread.h"
#include "service/session/Aes.h"
#include "service/session/EncodedFrameSink.h"
#include "service/session/PpppTable.h"
#include "service/session/Sealing.h"
#include "service/session/SessionHost.h"
#include "service/session/SessionPacket.h"

namespace session {

class CSessionServer;

inline constexpr int kMaxSessions = 8;
inline constexpr uint32_t kAuthDeadlineMs = 10000;     // from accept to a successful login
inline constexpr uint32_t kWatchdogPeriodMs = 100;
inline constexpr uint32_t kReadTimeoutMs = 1000;
inline constexpr unsigned int kListenWaitSeconds = 600;
inline constexpr uint32_t kBackPressureBytes = 0xFFFF;  // more than this waiting on the video channel...
inline constexpr uint32_t kBackPressureSleepMs = 100;   // ...slows the fan-out down by this much
inline constexpr uint32_t kVideoTimerPeriodMs = 2500;
inline constexpr size_t kDidBufferSize = 24;
inline constexpr int kMaxMode = 3;

struct SessionSlot {
    std::atomic<int32_t> hSession{0};  // -1 once closed; 0 in a table that has only been cleared
    std::atomic<bool> bInUse{false};
    std::atomic<bool> bVideoOn{false};
    std::atomic<bool> bMarked{false};
    std::atomic<bool> bKeySent{false};        // the key-frame gate of the fan-out
    uint8_t szPassword[kPasswordBufferSize] = {};
    uint8_t abySessionKey[kKeySize] = {};
    CAesKey128 aesSessionKey;                 // the session key expanded once, for the frames
    uint8_t abyExpected[kKeySize] = {};       // the AuthResponse payload that proves the password
    std::atomic<bool> bAuthed{false};
    std::atomic<uint8_t> byRoute{0};          // 0 direct, other values relayed
    CSessionServer* pServer = nullptr;
    platform::CThread hReader;                // kept past the slot's release until joined
    std::atomic<uint32_t> dwAcceptTick{0};    // base of the login deadline

    // The lifecycle across threads (see the top of this file).
    std::mutex lock;
    std::atomic<uint32_t> nGeneration{0};     // sessions the slot has held
    std::atomic<bool> bClosing{false};        // closed for new work; the reader releases it
    bool bHandleClosed = false;               // under `lock`: the transport session is closed
    std::atomic<uint32_t> nUsers{0};          // sends under way on the slot's handle
};

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
    void OnEncodedFrame(uint16_t gate, const uint8_t* data, uint32_t length) override;

    // The time base of frame timestamps; the capture takes it when it starts.
    void SetCaptureStart(uint32_t tick) { m_dwCaptureStart.store(tick); }
    // Frees the packet buffer at teardown; later frames are dropped.
    void FreePacketBuffer();

    bool IsRunning() const { return m_bRunning.load(); }
    int Online() const { return m_nOnline.load(); }
    int Mode() const { return m_nMode.load(); }
    uint32_t VideoTimer() const { return m_nVideoTimer.load(); }
    // The DID and password of the current (or last) run. The DID also carries
    // the stored setting while the service is stopped.
    const std::u16string& DID() const { return m_strDID; }
    void SetDID(std::u16string did) { m_strDID = std::move(did); }
    const std::u16string& Password() const { return m_strPassword; }

private:
    friend class CSessionServerProbe;  // tests, benchmarks and the fuzzer

    // What a send needs, taken under the slot's lock while the slot counts the
    // send as a user. The slot's keys stay put until its users are gone.
    struct SlotUse {
        int32_t hSession;
        uint32_t nGeneration;
    };

    static void ThreadListen(void* server);
    static void ThreadWatchdog(void* server);
    static void ThreadRecv(void* slot);

    void DoListen();
    void DoWatchdog();
    void DoRecv(SessionSlot& slot);
    int ReadExact(SessionSlot& slot, uint8_t channel, uint8_t* buffer, int wanted, uint32_t timeoutMs);
    int SendIOCtrl(int32_t handle, const uint8_t* key, uint16_t command, const uint8_t* payload, uint32_t length,
                   uint8_t kind);
    void DoAuth(SessionSlot& slot, const uint8_t* body);
    void DoCommand(SessionSlot& slot, const uint8_t* body);
    void ChangeMode(int mode);

    int SlotIndex(const SessionSlot& slot) const { return static_cast<int>(&slot - m_aSlots); }
    // Occupies a free slot with a new session; the listener only.
    void OccupySlot(SessionSlot& slot, int32_t handle, uint32_t acceptTick, uint8_t route,
                    const uint8_t (&password)[kPasswordBufferSize], const uint8_t (&challenge)[kChallengeSize],
                    const uint8_t (&sessionKey)[kKeySize]);
    // Begins closing the session `generation` of the slot; nothing when the
    // slot holds another session by now or its close has already begun.
    void CloseSlot(SessionSlot& slot, uint32_t generation);
    // Closes (if not yet done) and frees the slot; its reader only, or the
    // listener before a reader exists.
    void ReleaseSlot(SessionSlot& slot, uint32_t generation);
    // Under the slot's lock.
    static void ResetSlotFields(SessionSlot& slot, int32_t hSession);
    bool AcquireUse(SessionSlot& slot, SlotUse& use);
    static void EndUse(SessionSlot& slot) { slot.nUsers.fetch_sub(1, std::memory_order_release); }
    int CountOnline() const;
    // Milliseconds since capture start for a frame's timestampMs.
    uint32_t Timestamp() const;
    void JoinStoppedThreads();

    const PpppTable& m_pppp;
    ISessionHost& m_host;

    std::atomic<bool> m_bRunning{false};
    std::u16string m_strDID;
    std::u16string m_strPassword;
    platform::CThread m_hListenThread;
    platform::CThread m_hWatchdogThread;
    std::atomic<int> m_nOnline{0};
    SessionSlot m_aSlots[kMaxSessions];

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
