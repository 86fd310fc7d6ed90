#pragma once
// Finding names without regard to letter case in time independent of how many
// there are: what keeps reading a registry file linear in its size.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/Text.h"

namespace settings::hive {

inline char16_t Upper(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    return platform::ToUpperUnit(c);
}

inline uint64_t HashIgnoringCase(std::u16string_view name) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (char16_t c : name) hash = (hash ^ Upper(c)) * 1099511628211ull;
    // Mixed, so that names that differ only at their end spread over the table.
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    return hash ^ (hash >> 33);
}

// Finds entries by name without regard to letter case. It holds only their
// numbers and hashes (open addressing); the names stay where they are, and
// `nameOf(n)` gives the name of entry n. A name's hash is taken once, by the
// caller, for a search and the insertion that may follow it.
class CNameIndex {
public:
    template <typename NameOf>
    size_t Find(std::u16string_view name, uint64_t hash, const NameOf& nameOf) const {
        if (m_slots.empty()) return kNone;
        const size_t mask = m_slots.size() - 1;
        const auto tag = static_cast<uint32_t>(hash >> 32);
        for (size_t i = tag & mask;; i = (i + 1) & mask) {
            const Slot& slot = m_slots[i];
            if (slot.entry == kEmpty) return kNone;
            if (slot.entry != kErased && slot.tag == tag && platform::EqualsIgnoreCase(nameOf(slot.entry - kFirst), name))
                return slot.entry - kFirst;
        }
    }

    // Adds entry `n`, whose name the index does not hold yet.
    void Insert(uint64_t hash, size_t n) {
        if (2 * (m_nUsed + 1) > m_slots.size()) Grow();
        Place({static_cast<uint32_t>(n + kFirst), static_cast<uint32_t>(hash >> 32)});
        ++m_nUsed;
    }

    template <typename NameOf>
    void Erase(std::u16string_view name, uint64_t hash, const NameOf& nameOf) {
        const size_t n = Find(name, hash, nameOf);
        if (n == kNone) return;
        const size_t mask = m_slots.size() - 1;
        for (size_t i = static_cast<uint32_t>(hash >> 32) & mask;; i = (i + 1) & mask) {
            if (m_slots[i].entry == n + kFirst) {
                m_slots[i].entry = kErased;  // still counted in m_nUsed until the next growth
                return;
            }
        }
    }

    static constexpr size_t kNone = SIZE_MAX;

private:
    static constexpr uint32_t kEmpty = 0, kErased = 1, kFirst = 2;
    struct Slot {
        uint32_t entry = kEmpty;
        uint32_t tag = 0;  // the upper half of the name's hash
    };

    void Place(Slot slot) {
        const size_t mask = m_slots.size() - 1;
        size_t i = slot.tag & mask;
        while (m_slots[i].entry != kEmpty) i = (i + 1) & mask;
        m_slots[i] = slot;
    }

    void Grow() {
        std::vector<Slot> old(std::max<size_t>(16, m_slots.size() * 2));
        old.swap(m_slots);
        m_nUsed = 0;
        for (const Slot& slot : old) {
            if (slot.entry < kFirst) continue;
            Place(slot);
            ++m_nUsed;
        }
    }

    std::vector<Slot> m_slots;  // a power of two long, at most half used
    size_t m_nUsed = 0;
};

}  // namespace settings::hive
