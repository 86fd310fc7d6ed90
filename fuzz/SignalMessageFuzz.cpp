// Whatever arrives from the broker: the signalling message parser must refuse
// or accept any bytes without harm, what it accepts must satisfy the message
// rules, and writing an accepted message and reading it again must give the
// same message.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "transport/internet/SignalMessage.h"

namespace {

bool Same(const pppp::SignalMessage& a, const pppp::SignalMessage& b) {
    if (a.type != b.type || a.sid != b.sid || a.version != b.version || a.sdp != b.sdp ||
        a.candidate != b.candidate || a.mline != b.mline || a.reason != b.reason || a.ice.size() != b.ice.size())
        return false;
    for (size_t i = 0; i < a.ice.size(); ++i) {
        if (a.ice[i].urls != b.ice[i].urls || a.ice[i].username != b.ice[i].username) return false;
        // A credential without a username is not written back.
        if (!a.ice[i].username.empty() && a.ice[i].credential != b.ice[i].credential) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pppp::SignalMessage m;
    if (!pppp::ParseSignalMessage(data, size, &m)) return 0;
    if (size > pppp::kMaxSignalBytes || !pppp::IsValidSid(m.sid)) std::abort();
    if (m.type == pppp::SignalMessage::Candidate && m.candidate.rfind("candidate:", 0) != 0) std::abort();
    const std::string text = pppp::MakeSignalMessage(m);
    pppp::SignalMessage again;
    if (text.size() <= pppp::kMaxSignalBytes &&
        (!pppp::ParseSignalMessage(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &again) ||
         !Same(m, again)))
        std::abort();
    return 0;
}
