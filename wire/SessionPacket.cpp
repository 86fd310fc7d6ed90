#include "wire/SessionPacket.h"

#include <cstring>

namespace wire {

void WriteHeader(uint8_t* packet, uint32_t payloadLength, uint8_t kind) {
    StoreU32(packet, static_cast<uint32_t>(kControlBlockSize) + payloadLength);
    packet[3] = kind;
}

PacketHeader ReadHeader(const uint8_t* header) {
    return PacketHeader{LoadU32(header) & kMaxBodyLength, header[3]};
}

bool WritePacketHead(uint8_t* packet, const PacketFields& fields, uint32_t payloadLength) {
    if (payloadLength > kMaxBodyLength - kControlBlockSize) return false;
    const bool length32 = HasLength32(fields.kind);
    if (!length32 && payloadLength > 0xFFFF) return false;

    std::memset(packet, 0, kPacketOverhead);
    WriteHeader(packet, payloadLength, fields.kind);
    StoreU16(packet + kOffCommand, fields.command);
    if (length32) {
        packet[kOffViewerCount] = fields.viewerCount;
        packet[kOffDeltaFrame] = fields.deltaFrame;
        StoreU32(packet + kOffPayloadLength32, payloadLength);
    } else {
        StoreU16(packet + kOffPayloadLength16, static_cast<uint16_t>(payloadLength));
    }
    StoreU32(packet + kOffTimestamp, fields.timestampMs);
    return true;
}

size_t BuildPacket(uint8_t* out, size_t capacity, const PacketFields& fields, const uint8_t* payload,
                   uint32_t payloadLength) {
    const size_t total = kPacketOverhead + static_cast<size_t>(payloadLength);
    if (capacity < total || !WritePacketHead(out, fields, payloadLength)) return 0;
    if (payloadLength > 0) std::memcpy(out + kOffPayload, payload, payloadLength);
    return total;
}

ControlBlock ReadControlBlock(const uint8_t* body) {
    return ControlBlock{
        LoadU16(body + kBodyCommand),       LoadU16(body + kBodyPayloadLength16),
        body[kBodyViewerCount],             body[kBodyDeltaFrame],
        body[kBodyScrambleByte],            LoadU32(body + kBodyPayloadLength32),
        LoadU32(body + kBodyTimestamp),
    };
}

uint32_t AnnouncedPayloadLength(uint8_t kind, const uint8_t* body) {
    return HasLength32(kind) ? LoadU32(body + kBodyPayloadLength32) : LoadU16(body + kBodyPayloadLength16);
}

bool IsKeyFrame(const uint8_t* data, size_t length) {
    static constexpr uint8_t kKeyFrameStart[6] = {0x00, 0x00, 0x00, 0x01, 0x67, 0x64};
    return data != nullptr && length >= sizeof kKeyFrameStart &&
           std::memcmp(data, kKeyFrameStart, sizeof kKeyFrameStart) == 0;
}

}  // namespace wire
