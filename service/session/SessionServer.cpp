#include "service/session/SessionServer.h"

#include "platform/Clock.h"

namespace session {

CSessionServer::CSessionServer(const PpppTable& transport, ISessionHost& host)
    : m_pppp(transport), m_host(host), m_slots(transport), m_pPacketBuf(new uint8_t[kPacketBufferSize]) {}

CSessionServer::~CSessionServer() {
    StopListening();
    WaitForReaders();
}

void CSessionServer::ClearSlots() { m_slots.Clear(); }

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// The DID as the listener uses it: trimmed and in upper case.
std::u16string NormaliseDid(std::u16string_view field) {
    size_t begin = 0, end = field.size();
    while (begin < end && IsBlank(field[begin])) ++begin;
    while (end > begin && IsBlank(field[end - 1])) --end;
    std::u16string did(field.substr(begin, end - begin));
    for (char16_t& c : did)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return did;
}

}  // namespace

int CSessionServer::StartListening(std::u16string_view didField, std::u16string_view passwordField) {
    if (m_bRunning.load()) return 0;
    // Threads of a run that ended by itself (the transport refused the DID)
    // are still to be collected; with m_bRunning clear they are all ending.
    JoinStoppedThreads();

    m_strDID = NormaliseDid(didField);
    m_strPassword.assign(passwordField);
    m_bRunning.store(true);

    if (!m_hWatchdogThread.Start(&CSessionServer::ThreadWatchdog, this)) {
        m_bRunning.store(false);
        return -1;
    }
    platform::Sleep(2);
    if (!m_hListenThread.Start(&CSessionServer::ThreadListen, this)) {
        m_bRunning.store(false);
        m_hWatchdogThread.Join();
        return -1;
    }
    return 0;
}

void CSessionServer::StopListening() {
    // Cleared before the break, so that the listener cannot start another listen.
    m_bRunning.store(false);
    m_pppp.Listen_Break();
    m_hListenThread.Join();
    // The watchdog ends within one period; waiting for it here means nothing
    // of the server runs on once the owner has stopped it.
    m_hWatchdogThread.Join();
}

void CSessionServer::WaitForReaders() {
    for (SessionSlot& slot : m_slots) slot.hReader.Join();
}

void CSessionServer::JoinStoppedThreads() {
    m_hListenThread.Join();
    m_hWatchdogThread.Join();
    WaitForReaders();
}

}  // namespace session
