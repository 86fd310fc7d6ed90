#include "service/session/PeerKey.h"

#include <cstring>

namespace session {

uint32_t PeerKey(const PPPP_SessionRecord& record) {
    uint8_t key[4] = {};
    const uint8_t* account = record.bytes + PPPP_REC_PEER_ACCOUNT;
    if (record.bytes[PPPP_REC_PATH] == PPPP_PATH_INTERNET && (account[0] | account[1] | account[2]) != 0) {
        key[0] = 255;
        std::memcpy(key + 1, account, 3);
    } else {
        std::memcpy(key, record.bytes + PPPP_REC_REMOTE_ADDR, 4);
    }
    uint32_t value;
    std::memcpy(&value, key, sizeof value);
    return value;
}

}  // namespace session
