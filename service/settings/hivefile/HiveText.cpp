// The hive in memory and the names it can hold; reading and writing the text
// are in HiveTextReader.cpp and HiveTextWriter.cpp.

#include "service/settings/hivefile/HiveText.h"

#include <algorithm>

#include "platform/Text.h"
#include "service/settings/hivefile/HiveTextCommon.h"

namespace settings::hive {
namespace {

constexpr size_t kMaxKeyPart = 255;

}  // namespace

bool HasLoneSurrogate(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(s[i]) || IsLowSurrogate(s[i])) {
            return true;
        }
    }
    return false;
}

// -- the hive in memory ------------------------------------------------------------

HiveValue* HiveKey::Find(std::u16string_view name) {
    for (auto& value : values)
        if (platform::EqualsIgnoreCase(value.name, name)) return &value;
    return nullptr;
}

HiveValue& HiveKey::Set(std::u16string_view name, uint32_t type, const uint8_t* data, size_t bytes) {
    HiveValue* value = Find(name);
    if (!value) {
        value = &values.emplace_back();
        value->name = name;
    }
    value->type = type;
    value->data.assign(data, data + bytes);
    return *value;
}

void HiveKey::Remove(std::u16string_view name) {
    std::erase_if(values, [&](const HiveValue& v) { return platform::EqualsIgnoreCase(v.name, name); });
}

HiveKey* Hive::FindKey(std::u16string_view path) {
    for (auto& key : keys)
        if (platform::EqualsIgnoreCase(key.path, path)) return &key;
    return nullptr;
}

HiveKey& Hive::AddKey(std::u16string_view path) {
    if (HiveKey* key = FindKey(path)) return *key;
    HiveKey& key = keys.emplace_back();
    key.path = path;
    return key;
}

namespace {
bool IsSameOrBelow(std::u16string_view key, std::u16string_view path) {
    if (key.size() < path.size()) return false;
    if (key.size() > path.size() && key[path.size()] != u'\\') return false;
    return platform::EqualsIgnoreCase(key.substr(0, path.size()), path);
}
}  // namespace

bool Hive::KeyExists(std::u16string_view path) const {
    return std::any_of(keys.begin(), keys.end(), [&](const HiveKey& k) { return IsSameOrBelow(k.path, path); });
}

void Hive::RemoveKeyTree(std::u16string_view path) {
    std::erase_if(keys, [&](const HiveKey& k) { return IsSameOrBelow(k.path, path); });
}

bool IsValidValueName(std::u16string_view name) {
    for (char16_t c : name)
        if (c < 0x20) return false;
    return !HasLoneSurrogate(name);
}

bool IsValidKeyPath(std::u16string_view path) {
    if (path.empty()) return false;
    while (true) {
        const size_t slash = path.find(u'\\');
        const std::u16string_view part = path.substr(0, slash);
        if (part.empty() || part.size() > kMaxKeyPart || !IsValidValueName(part)) return false;
        if (slash == std::u16string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

}  // namespace settings::hive
