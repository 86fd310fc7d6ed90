#pragma once
// The hive file in a temporary folder, seen through a registry that counts the
// writes, remembers the last one and the last access asked for, and fails the
// opening of keys or the writes on demand.

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "service/settings/hivefile/HiveFileRegistry.h"
#include "tests/support/TempDir.h"

namespace testsupport {

class CTestRegistry final : public settings::IRegistry {
public:
    using HREGKEY = settings::HREGKEY;

    long CreateKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) override {
        m_nLastAccess = access;
        ++m_nCreates;
        return m_nFailOpen ? m_nFailOpen : m_file.CreateKey(root, path, access, key);
    }
    long OpenKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) override {
        m_nLastAccess = access;
        ++m_nOpens;
        return m_nFailOpen ? m_nFailOpen : m_file.OpenKey(root, path, access, key);
    }
    long CloseKey(HREGKEY key) override { return m_file.CloseKey(key); }
    long QueryValueCount(HREGKEY key, uint32_t* count) override {
        ++m_nQueries;
        return m_nFailQuery ? m_nFailQuery : m_file.QueryValueCount(key, count);
    }
    long EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type, uint8_t* data,
                   uint32_t* dataBytes) override {
        return m_file.EnumValue(key, index, name, nameChars, type, data, dataBytes);
    }
    long SetValue(HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                  uint32_t bytes) override {
        ++m_nWrites;
        m_lastWrite = {std::u16string(name), type, std::vector<uint8_t>(data, data + bytes), {}};
        return m_nFailSet ? m_nFailSet : m_file.SetValue(key, name, type, data, bytes);
    }

    // Stores a value straight into the file.
    void Put(std::u16string_view path, std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data) {
        HREGKEY key = nullptr;
        m_file.CreateKey(settings::kRegCurrentUser, path, settings::kKeySetValue, &key);
        m_file.SetValue(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
        m_file.CloseKey(key);
    }
    void PutString(std::u16string_view path, std::u16string_view name, std::u16string_view text) {
        std::vector<uint8_t> data((text.size() + 1) * 2, 0);
        std::memcpy(data.data(), text.data(), text.size() * 2);
        Put(path, name, settings::kRegSz, data);
    }
    void PutDword(std::u16string_view path, std::u16string_view name, uint32_t value) {
        Put(path, name, settings::kRegDword, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                           static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
    }
    // The key's values as the file holds them now; nothing when the key is missing.
    std::optional<std::vector<settings::hive::HiveValue>> Values(std::u16string_view path) const {
        settings::hive::Hive hive;
        settings::hive::ParseHive(ReadBytes(m_file.FilePath()), hive);
        settings::hive::HiveKey* key = hive.FindKey(u"HKEY_CURRENT_USER\\" + std::u16string(path));
        if (!key) return std::nullopt;
        return key->values;
    }
    const settings::hive::HiveValue* Find(const std::vector<settings::hive::HiveValue>& values,
                                       std::u16string_view name) const {
        for (const auto& v : values)
            if (v.name == name) return &v;
        return nullptr;
    }

    CTempDir m_dir;
    settings::CHiveFileRegistry m_file{m_dir.Path()};
    long m_nFailOpen = 0, m_nFailQuery = 0, m_nFailSet = 0;
    int m_nCreates = 0, m_nOpens = 0, m_nQueries = 0, m_nWrites = 0;
    uint32_t m_nLastAccess = 0;
    settings::hive::HiveValue m_lastWrite;
};

}  // namespace testsupport
