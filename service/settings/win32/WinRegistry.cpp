#include "service/settings/win32/WinRegistry.h"

#include <windows.h>

#include <string>

namespace settings {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the registry's text is UTF-16");
static_assert(kKeyQueryValue == KEY_QUERY_VALUE && kKeySetValue == KEY_SET_VALUE &&
              kKeyCreateSubKey == KEY_CREATE_SUB_KEY);
static_assert(kRegSz == REG_SZ && kRegBinary == REG_BINARY && kRegDword == REG_DWORD && kRegMultiSz == REG_MULTI_SZ);
static_assert(kRegErrNotFound == ERROR_FILE_NOT_FOUND && kRegErrMoreData == ERROR_MORE_DATA &&
              kRegErrNoMoreItems == ERROR_NO_MORE_ITEMS && kRegErrInvalidHandle == ERROR_INVALID_HANDLE);

// The port's current-user root is a 32-bit constant; the system's is that
// constant sign-extended to a pointer.
HKEY ToHkey(HREGKEY key) {
    if (key == kRegCurrentUser) return HKEY_CURRENT_USER;
    return reinterpret_cast<HKEY>(key);
}

// The functions want terminated names; the port's views need not be.
std::wstring Terminated(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

long CWinRegistry::CreateKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) {
    if (!key) return kRegErrInvalidParameter;
    HKEY opened = nullptr;
    const LONG result = ::RegCreateKeyExW(ToHkey(root), Terminated(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          access, nullptr, &opened, nullptr);
    *key = result == ERROR_SUCCESS ? reinterpret_cast<HREGKEY>(opened) : nullptr;
    return result;
}

long CWinRegistry::OpenKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) {
    if (!key) return kRegErrInvalidParameter;
    HKEY opened = nullptr;
    const LONG result = ::RegOpenKeyExW(ToHkey(root), Terminated(path).c_str(), 0, access, &opened);
    *key = result == ERROR_SUCCESS ? reinterpret_cast<HREGKEY>(opened) : nullptr;
    return result;
}

long CWinRegistry::CloseKey(HREGKEY key) {
    // The root is not this registry's to close.
    if (key == kRegCurrentUser) return kRegOk;
    if (!key) return kRegErrInvalidHandle;
    return ::RegCloseKey(ToHkey(key));
}

long CWinRegistry::QueryValueCount(HREGKEY key, uint32_t* count) {
    DWORD values = 0;
    const LONG result = ::RegQueryInfoKeyW(ToHkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                           nullptr, nullptr, nullptr, nullptr);
    if (count) *count = result == ERROR_SUCCESS ? values : 0;
    return result;
}

long CWinRegistry::EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type,
                             uint8_t* data, uint32_t* dataBytes) {
    if (!nameChars) return kRegErrInvalidParameter;
    DWORD nameSize = *nameChars;
    DWORD valueType = 0;
    DWORD dataSize = dataBytes ? *dataBytes : 0;
    const LONG result = ::RegEnumValueW(ToHkey(key), index, reinterpret_cast<wchar_t*>(name), &nameSize, nullptr,
                                        type ? &valueType : nullptr, data, dataBytes ? &dataSize : nullptr);
    *nameChars = nameSize;
    if (type) *type = valueType;
    if (dataBytes) *dataBytes = dataSize;
    return result;
}

long CWinRegistry::SetValue(HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                            uint32_t bytes) {
    return ::RegSetValueExW(ToHkey(key), Terminated(name).c_str(), 0, type, data, bytes);
}

IRegistry& DefaultRegistry() {
    static CWinRegistry registry;
    return registry;
}

}  // namespace settings
