#pragma once
// Short-lived TURN credentials from the TURN server's shared secret: the
// username is "<expiry>:<name>" (expiry in seconds since 1970), the password
// base64(HMAC-SHA1(secret, username)). A username per session and side, so
// allocations a peer leaves behind never count against the next session.

#include <cstdint>
#include <string>

namespace pppp {

struct TurnCredential {
    std::string username;
    std::string password;
};

TurnCredential MakeTurnCredential(const std::string& secret, const std::string& name, uint64_t expiresAtSeconds);

}  // namespace pppp
