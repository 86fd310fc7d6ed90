#include "service/settings/RegStore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Text.h"

namespace settings {
namespace {

// How many units of `text` fit in `units` without cutting a surrogate pair in half.
size_t WholeUnits(const char16_t* text, size_t length, size_t units) {
    if (length <= units) return length;
    if (units > 0 && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) return units - 1;
    return units;
}

}  // namespace

// -- CRegValue -------------------------------------------------------------------

CRegValue::CRegValue(CRegStore* owner, std::u16string_view name) : m_pszName(name), m_pOwner(owner) {}

CRegValue::~CRegValue() = default;

char16_t* CRegValue::TextBuffer() {
    if (!m_pszText) {
        m_pszText = std::make_unique<char16_t[]>(kRegTextUnits);  // zero-filled: an empty text
    }
    return m_pszText.get();
}

void CRegValue::Write(uint32_t type, const void* data, size_t bytes) {
    // Written only when the store is not loading and has a key open; the cache
    // holds the new value whether or not the write succeeds.
    if (!m_pOwner || (m_pOwner->m_nFlags & kRegStoreLoading) || !m_pOwner->m_hKey) return;
    if (bytes > UINT32_MAX || m_pOwner->m_registry.SetValue(m_pOwner->m_hKey, m_pszName, type,
                                                            static_cast<const uint8_t*>(data),
                                                            static_cast<uint32_t>(bytes)) != 0) {
        m_pOwner->m_bWriteFailed = true;
    }
}

void CRegValue::SetString(std::u16string_view text) {
    const size_t length = std::min(text.find(u'\0'), text.size());
    text = text.substr(0, length);
    m_nType = kRegSz;
    char16_t* buffer = TextBuffer();
    const size_t kept = WholeUnits(text.data(), length, kRegTextUnits - 1);
    std::copy_n(text.data(), kept, buffer);
    buffer[kept] = u'\0';
    if (m_pOwner && !(m_pOwner->m_nFlags & kRegStoreLoading) && m_pOwner->m_hKey) {
        const std::u16string terminated(text);  // the registry gets the whole text and its terminator
        Write(kRegSz, terminated.c_str(), 2 * length + 2);
    }
}

void CRegValue::SetDword(uint32_t value) {
    m_nType = kRegDword;
    m_dwValue = value;
    Write(kRegDword, &value, sizeof value);
}

void CRegValue::SetBinary(const uint8_t* bytes, size_t count) {
    if (count == 0 || !bytes) return;
    m_nType = kRegBinary;
    Write(kRegBinary, bytes, count);
    m_binary.assign(bytes, bytes + count);
}

void CRegValue::SetMultiString(const char16_t* chars, size_t count) {
    if (!chars) count = 0;
    m_nType = kRegMultiSz;
    m_strings.clear();
    if (count > 2) {
        // A final terminator is not counted; every part that begins before
        // that limit is kept, the last one ending at the data's end if need be.
        const size_t limit = chars[count - 1] == u'\0' ? count - 1 : count;
        size_t pos = 0;
        while (pos < limit) {
            size_t end = pos;
            while (end < count && chars[end] != u'\0') ++end;
            m_strings.emplace_back(chars + pos, end - pos);
            pos = end + 1;
        }
    }
    Write(kRegMultiSz, chars, 2 * count);
}

const char16_t* CRegValue::GetString() {
    char16_t* buffer = TextBuffer();
    switch (m_nType) {
        case kRegSz:
            break;
        case kRegBinary: {
            const size_t units = std::min(m_binary.size() / 2, kRegTextUnits - 1);
            std::memcpy(buffer, m_binary.data(), units * 2);
            buffer[units] = u'\0';
            break;
        }
        case kRegDword: {
            char digits[16];
            const int n = std::snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(m_dwValue));
            for (int i = 0; i <= n; ++i) buffer[i] = static_cast<char16_t>(digits[i]);
            break;
        }
        case kRegMultiSz:
            GetMultiString(buffer, kRegTextUnits);
            break;
        default:
            buffer[0] = u'\0';
            break;
    }
    return buffer;
}

char16_t* CRegValue::GetMultiString(char16_t* buffer, size_t capacity) const {
    if (!buffer || capacity == 0) return buffer;
    if (m_nType != kRegMultiSz) {
        buffer[0] = u'\0';
        return buffer;
    }
    size_t used = 0;
    for (const std::u16string& part : m_strings) {
        if (used + part.size() + 2 > capacity) break;  // the part, its terminator and the final one
        std::copy(part.begin(), part.end(), buffer + used);
        used += part.size();
        buffer[used++] = u'\0';
    }
    buffer[used] = u'\0';
    return buffer;
}

// -- CRegStore -------------------------------------------------------------------

CRegStore::CRegStore(uint32_t flags) : CRegStore(flags, DefaultRegistry()) {}

CRegStore::CRegStore(uint32_t flags, IRegistry& registry) : m_registry(registry), m_nFlags(flags) {}

CRegStore::~CRegStore() {
    Close();
    ClearCache();
}

void CRegStore::ClearCache() { m_values.clear(); }

bool CRegStore::Open(std::u16string_view path, HREGKEY root, uint32_t access, bool keepCache) {
    if (!keepCache) {
        if (!m_pszPath) {
            m_pszPath.emplace(path);
        } else if (!platform::EqualsIgnoreCase(*m_pszPath, path)) {
            ClearCache();
            m_pszPath.emplace(path);
        }
    }
    m_hRoot = root;
    Close();

    HREGKEY key = nullptr;
    long result;
    if (m_nFlags & kRegStoreCreate) {
        result = m_registry.CreateKey(root, path, access | kKeyCreateSubKey, &key);
    } else {
        result = m_registry.OpenKey(root, path, access, &key);
    }
    m_hKey = result == kRegOk ? key : nullptr;
    if (!m_hKey) return false;
    if (keepCache) return true;
    return Refresh();
}

void CRegStore::Close() {
    if (m_hKey) {
        m_registry.CloseKey(m_hKey);
        m_hKey = nullptr;
    }
}

bool CRegStore::Refresh() {
    if (!m_hKey) return false;
    uint32_t count = 0;
    if (m_registry.QueryValueCount(m_hKey, &count) != kRegOk) return false;

    const uint32_t saved = m_nFlags;
    m_nFlags |= kRegStoreLoading;
    m_values.reserve(m_values.size() + std::min<uint32_t>(count, 1024));

    char16_t name[kRegEnumNameUnits];
    // One unit more than the data buffer the registry is told about, always
    // zero, so that a text stored without its terminator still ends.
    char16_t data[kRegEnumDataBytes / 2 + 1];
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t nameChars = kRegEnumNameUnits;
        uint32_t dataBytes = kRegEnumDataBytes;
        uint32_t type = kRegNone;
        std::memset(data, 0, sizeof data);
        if (m_registry.EnumValue(m_hKey, index, name, &nameChars, &type, reinterpret_cast<uint8_t*>(data),
                                 &dataBytes) != kRegOk)
            continue;
        if (nameChars >= kRegEnumNameUnits || dataBytes > kRegEnumDataBytes) continue;
        const std::u16string_view valueName(name, nameChars);
        switch (type) {
            case kRegSz:
                Value(valueName).SetString(std::u16string_view(data, dataBytes / 2));
                break;
            case kRegBinary:
                Value(valueName).SetBinary(reinterpret_cast<const uint8_t*>(data), dataBytes);
                break;
            case kRegDword: {
                // Shorter data reads zero-extended rather than as stale bytes.
                uint32_t dword;
                std::memcpy(&dword, data, sizeof dword);
                Value(valueName).SetDword(dword);
                break;
            }
            case kRegMultiSz:
                Value(valueName).SetMultiString(data, dataBytes / 2);
                break;
            default:
                break;  // other types are not cached
        }
    }
    m_nFlags = saved;
    return true;
}

CRegValue& CRegStore::Value(std::u16string_view name) {
    name = name.substr(0, WholeUnits(name.data(), name.size(), kRegNameMax));
    for (auto it = m_values.rbegin(); it != m_values.rend(); ++it) {
        if (platform::EqualsIgnoreCase((*it)->m_pszName, name)) return **it;
    }
    m_values.push_back(std::unique_ptr<CRegValue>(new CRegValue(this, name)));
    return *m_values.back();
}

}  // namespace settings
