#include "service/settings/hivefile/HiveBuilder.h"

#include <algorithm>

#include "platform/Text.h"

namespace settings::hive {

CHiveBuilder::CHiveBuilder(Hive& hive) : m_hive(hive) {
    m_keyState.resize(m_hive.keys.size());
    for (size_t k = 0; k < m_hive.keys.size(); ++k) {
        m_keyIndex.Insert(HashIgnoringCase(m_hive.keys[k].path), k);
        for (size_t v = 0; v < m_hive.keys[k].values.size(); ++v) IndexValue(k, v);
    }
}

size_t CHiveBuilder::AddKey(std::u16string_view path) {
    const uint64_t hash = HashIgnoringCase(path);
    if (size_t k = m_keyIndex.Find(path, hash, KeyPath()); k != CNameIndex::kNone) return k;
    const size_t k = m_hive.keys.size();
    m_hive.keys.emplace_back().path = path;
    m_keyState.emplace_back();
    m_keyIndex.Insert(hash, k);
    if (m_bOrdered) m_ordered.emplace(platform::ToUpper(path), k);
    return k;
}

void CHiveBuilder::IndexValue(size_t k, size_t v) {
    KeyState& state = m_keyState[k];
    if (!state.values) {
        if (m_hive.keys[k].values.size() <= kValuesWithoutIndex) return;
        state.values = std::make_unique<CNameIndex>();
        for (size_t i = 0; i < v; ++i)
            if (!Gone(state, i)) state.values->Insert(HashIgnoringCase(m_hive.keys[k].values[i].name), i);
    }
    state.values->Insert(HashIgnoringCase(m_hive.keys[k].values[v].name), v);
}

size_t CHiveBuilder::FindValue(size_t k, std::u16string_view name) const {
    const KeyState& state = m_keyState[k];
    if (state.values) return state.values->Find(name, HashIgnoringCase(name), ValueName(k));
    const std::vector<HiveValue>& values = m_hive.keys[k].values;
    for (size_t v = 0; v < values.size(); ++v)
        if (!Gone(state, v) && platform::EqualsIgnoreCase(values[v].name, name)) return v;
    return CNameIndex::kNone;
}

void CHiveBuilder::RemoveKeyTree(std::u16string_view path) {
    if (!m_bOrdered) {
        // Only files that remove keys pay for the ordered index.
        for (size_t k = 0; k < m_hive.keys.size(); ++k)
            if (!m_keyState[k].gone) m_ordered.emplace(platform::ToUpper(m_hive.keys[k].path), k);
        m_bOrdered = true;
    }
    const std::u16string upper = platform::ToUpper(path);
    const auto drop = [&](std::map<std::u16string, size_t>::iterator it) {
        m_keyState[it->second].gone = true;
        m_keyIndex.Erase(it->first, HashIgnoringCase(it->first), KeyPath());
        return m_ordered.erase(it);
    };
    if (auto it = m_ordered.find(upper); it != m_ordered.end()) drop(it);
    const std::u16string below = upper + u'\\';
    for (auto it = m_ordered.lower_bound(below);
         it != m_ordered.end() && it->first.compare(0, below.size(), below) == 0;)
        it = drop(it);
}

HiveValue& CHiveBuilder::SetValue(size_t keyIndex, std::u16string_view name, uint32_t type,
                                  std::vector<uint8_t>&& data) {
    HiveKey& key = m_hive.keys[keyIndex];
    size_t v = FindValue(keyIndex, name);
    if (v == CNameIndex::kNone) {
        v = key.values.size();
        key.values.emplace_back().name = name;
        IndexValue(keyIndex, v);
    }
    HiveValue& value = key.values[v];
    value.type = type;
    value.data = std::move(data);
    return value;
}

void CHiveBuilder::RemoveValue(size_t keyIndex, std::u16string_view name) {
    const size_t v = FindValue(keyIndex, name);
    if (v == CNameIndex::kNone) return;
    KeyState& state = m_keyState[keyIndex];
    if (state.values) state.values->Erase(name, HashIgnoringCase(name), ValueName(keyIndex));
    state.valueGone.resize(m_hive.keys[keyIndex].values.size());
    state.valueGone[v] = true;
    state.anyValueGone = true;
}

void CHiveBuilder::Compact() {
    size_t kept = 0;
    for (size_t k = 0; k < m_hive.keys.size(); ++k) {
        const KeyState& state = m_keyState[k];
        if (state.gone) continue;
        HiveKey& key = m_hive.keys[k];
        if (state.anyValueGone) {
            size_t v = 0;
            std::erase_if(key.values, [&](const HiveValue&) {
                const bool gone = v < state.valueGone.size() && state.valueGone[v];
                ++v;
                return gone;
            });
        }
        if (kept != k) m_hive.keys[kept] = std::move(key);
        ++kept;
    }
    m_hive.keys.resize(kept);
}

}  // namespace settings::hive
