#pragma once
// A viewer with a known password and session key, for fuzzing what it opens
// and for writing seeds that open under that key.

#include "wire/Aes.h"
#include "viewer/ViewerProtocol.h"

namespace fuzzviewer {

inline constexpr char16_t kPassword[] = u"fuzz";
inline constexpr uint8_t kSessionKey[16] = {0x5E, 0x55, 0x10, 0x4E, 0x11, 0x22, 0x33, 0x44,
                                            0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};

// Lets `viewer` (made with kPassword) take kSessionKey as a login would.
inline void LogIn(session::CViewerProtocol& viewer) {
    uint8_t password[wire::kPasswordBufferSize], wrapped[16];
    wire::MakePasswordBuffer(kPassword, password);
    wire::AesEncryptBlock(128, kSessionKey, 16, password, wire::kPasswordBufferSize, wrapped);
    viewer.AcceptSessionKey(wrapped, 16);
}

}  // namespace fuzzviewer
