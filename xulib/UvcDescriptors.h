#pragma once
// Reading a camera's extension units from its raw USB descriptors (the bytes
// of the device's "descriptors" file under sysfs: the device descriptor
// followed by the configuration descriptors).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "xulib/DeviceAccess.h"

namespace nodrik {

// Collects the extension-unit descriptors of the VideoControl interface
// `interfaceNumber` of configuration `configValue`. Returns false when that
// interface is not in the blob. Malformed descriptors end the walk; what was
// read before them is kept. Class-specific descriptors of other interfaces
// (audio units share the subtype numbers) are never taken for extension units.
bool ParseExtensionUnits(const uint8_t* data, size_t size, int configValue, int interfaceNumber,
                         std::vector<XuUnit>& units);

}  // namespace nodrik
