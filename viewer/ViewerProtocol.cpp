#include "viewer/ViewerProtocol.h"

#include <algorithm>
#include <cstring>

#include "platform/Random.h"
#include "wire/Aes.h"
#include "wire/LoginProof.h"

namespace session {

CViewerProtocol::CViewerProtocol(std::u16string_view password) {
    MakePasswordBuffer(password, m_abyPassword);
    // Our own scramble bytes need no secrecy, but starting anywhere is as
    // good as starting at zero.
    uint8_t seed = 0;
    platform::SecureRandomBytes(&seed, 1);
    m_sealer.Seed(seed);
}

void CViewerProtocol::BindToChannel(const uint8_t* binding) {
    std::memcpy(m_abyBinding, binding, sizeof m_abyBinding);
    m_bBound = true;
}

size_t CViewerProtocol::BuildAuthResponse(const uint8_t* challenge, size_t challengeLength, uint8_t* out,
                                          size_t capacity) const {
    PacketFields fields;
    fields.kind = KindPlain;
    fields.command = CmdAuthResponse;
    const size_t len = std::min<size_t>(challengeLength, kChallengeSize);
    std::memset(m_abyChallenge, 0, sizeof m_abyChallenge);
    std::memcpy(m_abyChallenge, challenge, len);
    if (m_bBound) {
        uint8_t response[kBoundAuthResponse];
        uint8_t proof[kProofSize];
        ViewerProof(m_abyPassword, m_abyChallenge, m_abyBinding, proof);
        std::memcpy(response, proof, sizeof proof);
        std::memcpy(response + kProofSize, m_abyBinding, kBindingSize);
        return BuildPacket(out, capacity, fields, response, sizeof response);
    }
    uint8_t response[kAesBlockSize];
    if (AesEncryptBlock(128, challenge, static_cast<int>(len), m_abyPassword, kPasswordBufferSize, response) !=
        kAesBlockSize)
        return 0;
    return BuildPacket(out, capacity, fields, response, sizeof response);
}

bool CViewerProtocol::AcceptSessionKey(const uint8_t* payload, size_t length) {
    if (m_bBound) {
        uint8_t proof[kProofSize];
        if (length != kBoundAuthAccepted) return false;
        DeviceProof(m_abyPassword, m_abyChallenge, m_abyBinding, payload, proof);
        if (!SameBytes(proof, payload + kKeySize, kProofSize)) return false;
    } else if (length != kKeySize) {
        return false;
    }
    if (AesDecryptBlock(128, payload, kKeySize, m_abyPassword, kPasswordBufferSize, m_abySessionKey) !=
        kAesBlockSize)
        return false;
    m_bHasKey = true;
    return true;
}

size_t CViewerProtocol::BuildVideoStart(std::optional<uint32_t> mode, uint8_t* out, size_t capacity) {
    if (!mode) return BuildCommand(CmdVideoStart, nullptr, 0, out, capacity);
    uint8_t payload[kVideoStartModeSize] = {};
    StoreU32(payload, *mode);
    return BuildCommand(CmdVideoStart, payload, sizeof payload, out, capacity);
}

size_t CViewerProtocol::BuildCommand(uint16_t command, const uint8_t* payload, uint32_t length, uint8_t* out,
                                     size_t capacity) {
    if (!m_bHasKey) return 0;
    PacketFields fields;
    fields.kind = KindSealed16;
    fields.command = command;
    const size_t size = BuildPacket(out, capacity, fields, payload, length);
    if (size > 0) m_sealer.SealPacket(m_abySessionKey, out, size);
    return size;
}

int CViewerProtocol::Open(uint8_t channel, uint8_t kind, uint8_t* body, uint32_t bodyLength,
                          ServerMessage& message) const {
    message = ServerMessage{};
    message.kind = kind;
    if (kind == KindPlain) {
        if (bodyLength < kControlBlockSize) return kOpenMalformed;
        if (static_cast<uint32_t>(LoadU16(body + kBodyPayloadLength16)) + kControlBlockSize != bodyLength)
            return kOpenMalformed;
    } else if (IsSealedKind(kind)) {
        if (!m_bHasKey) return kOpenNoKey;
        if (UnsealPacket(m_abySessionKey, kind, body, bodyLength) != kUnsealOk) return kOpenMalformed;
    } else {
        return kOpenUnknownKind;
    }

    const ControlBlock cb = ReadControlBlock(body);
    message.command = cb.command;
    message.payload = body + kBodyPayload;
    message.payloadLength = bodyLength - static_cast<uint32_t>(kControlBlockSize);

    if (channel == kChannelControl && kind == KindPlain) {
        switch (cb.command) {
            case CmdChallenge: message.type = ServerMessageType::Challenge; break;
            case CmdAuthAccepted: message.type = ServerMessageType::AuthAccepted; break;
            case CmdAuthRefused: message.type = ServerMessageType::AuthRefused; break;
            default: break;
        }
    } else if (channel == kChannelControl && kind == KindSealed16 && cb.command == CmdModeReport &&
               message.payloadLength >= kModeReportSize) {
        message.type = ServerMessageType::ModeReport;
        message.mode = LoadU32(message.payload);
    } else if (channel == kChannelVideo && HasLength32(kind) && cb.command == CmdVideoFrame) {
        message.type = ServerMessageType::VideoFrame;
        message.viewerCount = cb.viewerCount;
        message.deltaFrame = cb.deltaFrame;
        message.timestampMs = cb.timestampMs;
    }
    return kOpenOk;
}

}  // namespace session
