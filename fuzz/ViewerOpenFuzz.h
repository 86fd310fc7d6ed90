#pragma once
// A viewer with a known password and session key, for fuzzing what it opens
// and for writing seeds that open under that key.

#include "service/session/Aes.h"
#include "viewer/ViewerProtocol.h"

namespace fuzzviewer {

inline constexpr char16_t kPassword[] = u"fuzz";
inline constexpr uint8_t kSessionKey[16] = {0x5E, 0x55, 0x10, 0x4E, 0x11, 0x22, 0x33, 0x44,
                                            0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};

// Lets `viewer` (made with kPassword) take kSessionKey as a login would.
inline void LogIn(session::CViewerProtocol& viewer) {
    uint8_t password[session::kPasswordBufferSize], wrapped[16];
    session::MakePasswordBuffer(kPassword, password);
    session::AesEncryptBlock(128, kSessionKey, 16, password, session::kPasswordBufferSize, wrapped);
    viewer.AcceptSessionKey(wrapped, 16);
}

}  // namespace fuzzviewer
