#include "service/session/SessionContext.h"

#include <vector>

namespace session {

int SessionContext::SendIOCtrl(int32_t handle, const uint8_t* key, uint16_t command, const uint8_t* payload,
                               uint32_t length, uint8_t kind) {
    // Control packets are small; only an unusual payload costs an allocation.
    uint8_t small[kPacketOverhead + 64];
    std::vector<uint8_t> large;
    uint8_t* packet = small;
    const size_t total = kPacketOverhead + static_cast<size_t>(length);
    if (total > sizeof small) {
        large.resize(total);
        packet = large.data();
    }
    PacketFields fields;
    fields.kind = kind;
    fields.command = command;
    if (BuildPacket(packet, total, fields, payload, length) != total) return PPPP_ERR_BAD_ARGUMENT;
    if (kind != KindPlain) byScramble.SealPacket(key, packet, total);
    return pppp.Write(handle, kChannelControl, reinterpret_cast<const char*>(packet), static_cast<int>(total));
}

}  // namespace session
