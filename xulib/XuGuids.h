#pragma once
// The two GUID sets under which a camera's extension units are known, and a
// few helpers on GUIDs. A camera carries its units under one of the sets; the
// library tries the first before the second.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "xulib/Nodrik.h"

namespace nodrik {

// kXuGuidSets[set][unit - 1]
inline constexpr XuGuid kXuGuidSets[2][2] = {
    {
        {0x12E0E729, 0x9416, 0x402B, {0x9E, 0x7D, 0x41, 0xC9, 0xB3, 0xB5, 0x78, 0x2E}},
        {0xB25A5722, 0x4812, 0x4827, {0xBF, 0xEF, 0x7A, 0xE6, 0xAF, 0x60, 0x2A, 0x5E}},
    },
    {
        {0xE7362E7D, 0x4972, 0x4375, {0xA8, 0xB6, 0x40, 0xBC, 0x92, 0xEA, 0x3F, 0xD5}},
        {0x4D150A1C, 0x2D06, 0x4415, {0xAD, 0xB0, 0x86, 0xD0, 0xA6, 0xBF, 0x65, 0x36}},
    },
};

inline bool SameGuid(const XuGuid& a, const XuGuid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The 16 bytes of a GUID as a USB descriptor stores them.
inline XuGuid GuidFromDescriptorBytes(const uint8_t* p) {
    XuGuid g;
    g.Data1 = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    g.Data2 = uint16_t(p[4] | p[5] << 8);
    g.Data3 = uint16_t(p[6] | p[7] << 8);
    std::memcpy(g.Data4, p + 8, 8);
    return g;
}

// "{12E0E729-9416-402B-9E7D-41C9B3B5782E}"
inline std::string FormatGuid(const XuGuid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace nodrik
