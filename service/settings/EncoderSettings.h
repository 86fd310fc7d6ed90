#pragma once
// The encoder's bitrate. The H.264 encoder keeps its settings under its own
// key of the current user's registry and reads them when it is created; the
// service sets exactly one of them, the bitrate, just before it builds the
// capture graph, and leaves every other setting as the encoder has it.

#include <cstdint>

#include "service/settings/RegStore.h"

namespace settings {

// The encoder's key below the current user's root and its bitrate value, a
// REG_DWORD in thousands of bits per second.
inline constexpr char16_t kEncoderKeyPath[] = u"Software\\GNU\\ffdshow_enc";
inline constexpr char16_t kEncoderBitrateName[] = u"bitrate1000";

// The bitrate a quality mode asks for: 100 for mode 0, 300 for modes 1 (high)
// and 2 (normal); 0 for any other mode, which leaves the stored bitrate alone.
int32_t EncoderBitrateForQuality(int32_t qualityMode);

// Opens (creating it if need be) the encoder's key through `store`, which
// drops its cache of any other key, writes `bitrate` there as a 4-byte DWORD
// and closes the key. Returns 0 in every case: a key that cannot be opened or
// a failed write leaves the encoder with the bitrate it has stored.
int SetEncoderBitrate(CRegStore& store, int32_t bitrate);

// The bitrate the encoder will start with, read straight from `registry`
// without disturbing anyone's cache. False when the key or the value is
// missing or not a 4-byte DWORD.
bool ReadEncoderBitrate(IRegistry& registry, uint32_t* bitrate);

}  // namespace settings
