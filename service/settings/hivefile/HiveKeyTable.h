#pragma once
// The open keys of the hive file's registry, by handle. Each remembers the
// values its key had when they were last counted (or last written through
// this registry): what enumeration by index walks, so that a change made
// meanwhile by another process does not shift the indexes under a caller.
// Not thread-safe: the registry calls it under its own lock.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "service/settings/Registry.h"
#include "service/settings/hivefile/HiveText.h"

namespace settings {

class CHiveKeyTable {
public:
    struct KeyEntry {
        std::u16string path;  // full path, root name first
        uint32_t access = 0;
        bool hasSnapshot = false;
        std::vector<hive::HiveValue> snapshot;
    };

    // A new handle for `entry`.
    HREGKEY Add(KeyEntry entry);
    // Null when `key` is not a handle of this table.
    KeyEntry* Find(HREGKEY key);
    // False when `key` is not a handle of this table.
    bool Remove(HREGKEY key);

    // Takes the key's values as `hive` holds them now (none when it lacks the key).
    static void TakeSnapshot(KeyEntry& entry, hive::Hive& hive);
    // Every handle of the key `path` enumerates `values` from now on.
    void ShowValues(std::u16string_view path, const std::vector<hive::HiveValue>& values);

private:
    std::map<uintptr_t, KeyEntry> m_keys;
    uintptr_t m_nNextHandle = 0x1000;
};

}  // namespace settings
