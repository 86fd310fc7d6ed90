#pragma once
// Where sessions come in and are read: the listener takes each new session
// into a slot and greets it with a challenge; one reader per session frames
// the viewer's packets and hands them to the command handler; the watchdog
// closes sessions that have not logged in by their deadline. All of them run
// while the context's running flag is set.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Thread.h"
#include "service/session/CommandHandler.h"
#include "service/session/SessionContext.h"

namespace session {

inline constexpr uint32_t kAuthDeadlineMs = 10000;     // from accept to a successful login
inline constexpr uint32_t kWatchdogPeriodMs = 100;
inline constexpr unsigned int kListenWaitSeconds = 600;
// A reader's wait for its viewer's next bytes. A close of the session (the
// watchdog, a newcomer it makes way for, the stop) ends the wait at once, so
// the limit costs a wake-up a minute and bounds nothing that matters.
inline constexpr uint32_t kReadWaitMs = 60000;
inline constexpr uint32_t kMakeWayWaitMs = 3000;        // longest wait for a session that makes way
inline constexpr uint32_t kChooseAgainMs = 20;          // a newcomer in a full table looks again this often
inline constexpr uint32_t kListenBackoffLimitMs = 1000; // longest pause between failing listens
inline constexpr size_t kDidBufferSize = 24;

class CListener {
public:
    CListener(SessionContext& context, CCommandHandler& commands) : m_ctx(context), m_commands(commands) {}
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    // As CSessionServer's of the same names.
    int StartListening(std::u16string_view didField, std::u16string_view passwordField);
    void StopListening();
    void WaitForReaders();

    const std::u16string& DID() const { return m_strDID; }
    void SetDID(std::u16string did) { m_strDID = std::move(did); }
    const std::u16string& Password() const { return m_strPassword; }

    // The reader of `slot`, on the calling thread: reads and handles packets
    // until the session ends or the server stops, then frees the slot. Its
    // thread runs it; tests and the fuzzer call it on their own.
    void DoRecv(SessionSlot& slot);
    // Reads exactly `wanted` bytes, each read waiting at most `timeoutMs`: 0
    // when they came in one read, -3 when in several or when the server stops,
    // else the transport's failure (-13 as soon as the slot is closed).
    int ReadExact(SessionSlot& slot, uint8_t channel, uint8_t* buffer, int wanted, uint32_t timeoutMs);

private:
    static void ThreadListen(void* listener);
    static void ThreadWatchdog(void* listener);
    static void ThreadRecv(void* slot);
    void DoListen();
    void DoWatchdog();
    void JoinStoppedThreads();

    SessionContext& m_ctx;
    CCommandHandler& m_commands;
    std::u16string m_strDID;
    std::u16string m_strPassword;
    platform::CThread m_hListenThread;
    platform::CThread m_hWatchdogThread;
};

}  // namespace session
