#pragma once
// The hive as the reader of a registry file builds it. A key or value met
// again is merged into the first one of its name (letter case ignored), which
// keeps its place and spelling; removals ("[-path]", "name"=-) are marked and
// dropped at the end. Keys and values are found through indexes, so reading
// stays linear however many keys and values a file holds.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/settings/hivefile/HiveText.h"
#include "service/settings/hivefile/NameIndex.h"

namespace settings::hive {

class CHiveBuilder {
public:
    // Keys and values already in `hive` take part in the merging.
    explicit CHiveBuilder(Hive& hive);
    CHiveBuilder(const CHiveBuilder&) = delete;
    CHiveBuilder& operator=(const CHiveBuilder&) = delete;

    // The key of that path, added at the end when there is none; its number.
    size_t AddKey(std::u16string_view path);
    // Removes the key `path` and every key below it.
    void RemoveKeyTree(std::u16string_view path);
    // Replaces the data of the value `name` of the key (which keeps its place
    // and the case it was first written with), or appends a new value.
    HiveValue& SetValue(size_t keyIndex, std::u16string_view name, uint32_t type, std::vector<uint8_t>&& data);
    void RemoveValue(size_t keyIndex, std::u16string_view name);
    // Drops what was removed; the numbers of keys and values change.
    void Compact();

private:
    // Names for the index: the paths of the hive's keys, the names of a key's values.
    struct KeyPathOf {
        const Hive* hive;
        std::u16string_view operator()(size_t k) const { return hive->keys[k].path; }
    };
    struct ValueNameOf {
        const Hive* hive;
        size_t key;
        std::u16string_view operator()(size_t v) const { return hive->keys[key].values[v].name; }
    };
    // What the builder knows of a key beyond the hive: whether it, or some of
    // its values, were removed again.
    struct KeyState {
        bool gone = false;
        bool anyValueGone = false;
        std::vector<bool> valueGone;
        std::unique_ptr<CNameIndex> values;  // once the key has many values
    };

    // Keys with few values are searched in turn; a key that grows past that
    // gets an index of its own.
    static constexpr size_t kValuesWithoutIndex = 16;

    KeyPathOf KeyPath() const { return {&m_hive}; }
    ValueNameOf ValueName(size_t k) const { return {&m_hive, k}; }
    void IndexValue(size_t k, size_t v);
    static bool Gone(const KeyState& state, size_t v) { return v < state.valueGone.size() && state.valueGone[v]; }
    size_t FindValue(size_t k, std::u16string_view name) const;

    Hive& m_hive;
    CNameIndex m_keyIndex;
    std::map<std::u16string, size_t> m_ordered;  // upper-case path -> key, once a key is removed
    bool m_bOrdered = false;
    std::vector<KeyState> m_keyState;
};

}  // namespace settings::hive
