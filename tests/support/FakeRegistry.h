#pragma once
// An in-memory registry of the current user for unit tests of code written
// against video::IRegistry: keys and values compare without regard to letter
// case, every call is recorded, and each operation can be made to fail.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/video/Registry.h"

namespace testsupport {

class CFakeRegistry final : public video::IRegistry {
public:
    struct Value {
        std::u16string name;
        uint32_t type = 0;
        std::vector<uint8_t> data;
    };
    struct Call {
        std::string op;      // "CreateKey", "OpenKey", "CloseKey", "QueryValueCount", "EnumValue", "SetValue"
        std::u16string text; // the key path, or the value name of SetValue
        uint32_t access = 0; // of CreateKey and OpenKey
        uint32_t type = 0;   // of SetValue
        std::vector<uint8_t> data;
    };

    // Contents, below HKEY_CURRENT_USER; these record no call.
    void AddKey(std::u16string_view path);
    void Put(std::u16string_view path, std::u16string_view name, uint32_t type, std::vector<uint8_t> data);
    void PutString(std::u16string_view path, std::u16string_view name, std::u16string_view text);
    void PutDword(std::u16string_view path, std::u16string_view name, uint32_t value);
    bool HasKey(std::u16string_view path) const;
    const Value* Get(std::u16string_view path, std::u16string_view name) const;
    size_t ValueCount(std::u16string_view path) const;

    // Results to give instead of success (0 = succeed).
    long m_nFailCreate = 0, m_nFailOpen = 0, m_nFailQuery = 0, m_nFailEnum = 0, m_nFailSet = 0;

    std::vector<Call> m_calls;
    size_t Count(const std::string& op) const;
    int OpenHandles() const { return m_nOpen; }

    long CreateKey(video::HREGKEY root, std::u16string_view path, uint32_t access, video::HREGKEY* key) override;
    long OpenKey(video::HREGKEY root, std::u16string_view path, uint32_t access, video::HREGKEY* key) override;
    long CloseKey(video::HREGKEY key) override;
    long QueryValueCount(video::HREGKEY key, uint32_t* count) override;
    long EnumValue(video::HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type,
                   uint8_t* data, uint32_t* dataBytes) override;
    long SetValue(video::HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                  uint32_t bytes) override;

private:
    struct Key {
        std::u16string path;
        std::vector<Value> values;
    };
    Key* Find(std::u16string_view path);
    const Key* Find(std::u16string_view path) const;
    Key* FromHandle(video::HREGKEY key);
    long Open(const char* op, video::HREGKEY root, std::u16string_view path, uint32_t access, bool create,
              video::HREGKEY* key);

    std::vector<Key> m_keys;  // never shrinks, so a handle is an index + 1
    int m_nOpen = 0;
};

}  // namespace testsupport
