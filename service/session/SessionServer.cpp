#include "service/session/SessionServer.h"

namespace session {

CSessionServer::CSessionServer(const PpppTable& transport, ISessionHost& host)
    : m_context(transport, host), m_commands(m_context), m_listener(m_context, m_commands), m_fanout(m_context) {}

CSessionServer::~CSessionServer() {
    StopListening();
    WaitForReaders();
}

void CSessionServer::ClearSlots() { m_context.slotTable.Clear(); }

int CSessionServer::StartListening(std::u16string_view didField, std::u16string_view passwordField) {
    return m_listener.StartListening(didField, passwordField);
}

void CSessionServer::StopListening() { m_listener.StopListening(); }

void CSessionServer::WaitForReaders() { m_listener.WaitForReaders(); }

void CSessionServer::StartVideoTimer() { m_commands.StartVideoTimer(); }

void CSessionServer::StopVideoTimer() { m_commands.StopVideoTimer(); }

void CSessionServer::OnEncodedFrame(const EncodedFrame& frame) { m_fanout.OnEncodedFrame(frame); }

void CSessionServer::FreePacketBuffer() { m_fanout.FreePacketBuffer(); }

}  // namespace session
