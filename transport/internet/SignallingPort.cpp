#include "transport/internet/SignallingPort.h"

namespace pppp {

bool SendSignal(ISignalling& signalling, const std::string& peer, const std::string& sid, SignalMessage message) {
    message.sid = sid;
    return signalling.SendTo(peer, MakeSignalMessage(message));
}

std::function<void(uint32_t, const std::string&)> CandidateSender(std::weak_ptr<ISignalling> signalling,
                                                                 std::string peer, std::string sid) {
    return [signalling = std::move(signalling), peer = std::move(peer), sid = std::move(sid)](
               uint32_t mline, const std::string& candidate) {
        SignalMessage m;
        m.type = SignalMessage::Candidate;
        m.candidate = candidate;
        m.mline = mline;
        if (auto s = signalling.lock()) SendSignal(*s, peer, sid, std::move(m));
    };
}

}  // namespace pppp
