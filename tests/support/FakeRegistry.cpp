#include "tests/support/FakeRegistry.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace testsupport {

using namespace video;

CFakeRegistry::Key* CFakeRegistry::Find(std::u16string_view path) {
    for (auto& key : m_keys)
        if (platform::EqualsIgnoreCase(key.path, path)) return &key;
    return nullptr;
}

const CFakeRegistry::Key* CFakeRegistry::Find(std::u16string_view path) const {
    return const_cast<CFakeRegistry*>(this)->Find(path);
}

CFakeRegistry::Key* CFakeRegistry::FromHandle(HREGKEY key) {
    const auto index = reinterpret_cast<uintptr_t>(key);
    return index >= 1 && index <= m_keys.size() ? &m_keys[index - 1] : nullptr;
}

void CFakeRegistry::AddKey(std::u16string_view path) {
    if (!Find(path)) m_keys.push_back({std::u16string(path), {}});
}

void CFakeRegistry::Put(std::u16string_view path, std::u16string_view name, uint32_t type,
                        std::vector<uint8_t> data) {
    AddKey(path);
    Key* key = Find(path);
    for (auto& value : key->values) {
        if (platform::EqualsIgnoreCase(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key->values.push_back({std::u16string(name), type, std::move(data)});
}

void CFakeRegistry::PutString(std::u16string_view path, std::u16string_view name, std::u16string_view text) {
    std::vector<uint8_t> data(text.size() * 2 + 2, 0);
    std::memcpy(data.data(), text.data(), text.size() * 2);
    Put(path, name, kRegSz, std::move(data));
}

void CFakeRegistry::PutDword(std::u16string_view path, std::u16string_view name, uint32_t value) {
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    Put(path, name, kRegDword, std::move(data));
}

bool CFakeRegistry::HasKey(std::u16string_view path) const { return Find(path) != nullptr; }

const CFakeRegistry::Value* CFakeRegistry::Get(std::u16string_view path, std::u16string_view name) const {
    const Key* key = Find(path);
    if (!key) return nullptr;
    for (const auto& value : key->values)
        if (platform::EqualsIgnoreCase(value.name, name)) return &value;
    return nullptr;
}

size_t CFakeRegistry::ValueCount(std::u16string_view path) const {
    const Key* key = Find(path);
    return key ? key->values.size() : 0;
}

size_t CFakeRegistry::Count(const std::string& op) const {
    return static_cast<size_t>(std::count_if(m_calls.begin(), m_calls.end(), [&](const Call& c) { return c.op == op; }));
}

long CFakeRegistry::Open(const char* op, HREGKEY root, std::u16string_view path, uint32_t access, bool create,
                         HREGKEY* key) {
    m_calls.push_back({op, std::u16string(path), access, 0, {}});
    *key = nullptr;
    const long fail = create ? m_nFailCreate : m_nFailOpen;
    if (fail) return fail;
    if (root != kRegCurrentUser) return kRegErrInvalidHandle;
    if (!Find(path)) {
        if (!create) return kRegErrNotFound;
        AddKey(path);
    }
    *key = reinterpret_cast<HREGKEY>(static_cast<uintptr_t>(Find(path) - m_keys.data() + 1));
    ++m_nOpen;
    return kRegOk;
}

long CFakeRegistry::CreateKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) {
    return Open("CreateKey", root, path, access, true, key);
}

long CFakeRegistry::OpenKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) {
    return Open("OpenKey", root, path, access, false, key);
}

long CFakeRegistry::CloseKey(HREGKEY key) {
    Key* k = FromHandle(key);
    m_calls.push_back({"CloseKey", k ? k->path : u"", 0, 0, {}});
    if (!k) return kRegErrInvalidHandle;
    --m_nOpen;
    return kRegOk;
}

long CFakeRegistry::QueryValueCount(HREGKEY key, uint32_t* count) {
    Key* k = FromHandle(key);
    m_calls.push_back({"QueryValueCount", k ? k->path : u"", 0, 0, {}});
    if (m_nFailQuery) return m_nFailQuery;
    if (!k) return kRegErrInvalidHandle;
    *count = static_cast<uint32_t>(k->values.size());
    return kRegOk;
}

long CFakeRegistry::EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type,
                              uint8_t* data, uint32_t* dataBytes) {
    Key* k = FromHandle(key);
    m_calls.push_back({"EnumValue", k ? k->path : u"", 0, 0, {}});
    if (m_nFailEnum) return m_nFailEnum;
    if (!k) return kRegErrInvalidHandle;
    if (index >= k->values.size()) return kRegErrNoMoreItems;
    const Value& v = k->values[index];
    if (v.name.size() + 1 > *nameChars) return kRegErrMoreData;
    if (v.data.size() > *dataBytes) {
        *dataBytes = static_cast<uint32_t>(v.data.size());
        return kRegErrMoreData;
    }
    std::copy(v.name.begin(), v.name.end(), name);
    name[v.name.size()] = u'\0';
    *nameChars = static_cast<uint32_t>(v.name.size());
    *type = v.type;
    std::copy(v.data.begin(), v.data.end(), data);
    *dataBytes = static_cast<uint32_t>(v.data.size());
    return kRegOk;
}

long CFakeRegistry::SetValue(HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                             uint32_t bytes) {
    std::vector<uint8_t> copy(data, data + bytes);
    m_calls.push_back({"SetValue", std::u16string(name), 0, type, copy});
    if (m_nFailSet) return m_nFailSet;
    Key* k = FromHandle(key);
    if (!k) return kRegErrInvalidHandle;
    Put(k->path, name, type, std::move(copy));
    return kRegOk;
}

}  // namespace testsupport
