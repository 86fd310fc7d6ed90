#include "service/settings/hivefile/HiveKeyTable.h"

#include "platform/Text.h"

namespace settings {

HREGKEY CHiveKeyTable::Add(KeyEntry entry) {
    const uintptr_t handle = m_nNextHandle;
    m_nNextHandle += 4;
    m_keys.emplace(handle, std::move(entry));
    return reinterpret_cast<HREGKEY>(handle);
}

CHiveKeyTable::KeyEntry* CHiveKeyTable::Find(HREGKEY key) {
    const auto it = m_keys.find(reinterpret_cast<uintptr_t>(key));
    return it == m_keys.end() ? nullptr : &it->second;
}

bool CHiveKeyTable::Remove(HREGKEY key) { return m_keys.erase(reinterpret_cast<uintptr_t>(key)) != 0; }

void CHiveKeyTable::TakeSnapshot(KeyEntry& entry, hive::Hive& hive) {
    const hive::HiveKey* key = hive.FindKey(entry.path);
    entry.snapshot = key ? key->values : std::vector<hive::HiveValue>{};
    entry.hasSnapshot = true;
}

void CHiveKeyTable::ShowValues(std::u16string_view path, const std::vector<hive::HiveValue>& values) {
    for (auto& [handle, entry] : m_keys) {
        if (platform::EqualsIgnoreCase(entry.path, path)) {
            entry.snapshot = values;
            entry.hasSnapshot = true;
        }
    }
}

}  // namespace settings
