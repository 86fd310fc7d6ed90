#pragma once
// The registry as the service sees it: the six operations of the current
// user's registry that the registry store needs, behind a small interface so
// the store runs on the system registry where there is one and on the per-user
// hive file here. Results are those of the system registry: 0 for success,
// otherwise a system error number (the named ones below).

#include <cstdint>
#include <string_view>

namespace settings {

struct RegKeyOpaque;
// An open key, or one of the predefined roots.
using HREGKEY = RegKeyOpaque*;

// The current user's root key.
inline const HREGKEY kRegCurrentUser = reinterpret_cast<HREGKEY>(static_cast<uintptr_t>(0x80000001u));

// Access rights.
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;

// Value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

// Results.
inline constexpr long kRegOk = 0;
inline constexpr long kRegErrNotFound = 2;          // no such key
inline constexpr long kRegErrAccessDenied = 5;      // the key was not opened with the right needed
inline constexpr long kRegErrInvalidHandle = 6;     // not a key this registry opened
inline constexpr long kRegErrTooLarge = 14;         // the registry would grow past its size limit
inline constexpr long kRegErrInvalidParameter = 87; // a name the registry cannot hold
inline constexpr long kRegErrBadPathname = 161;     // a key path with an empty part
inline constexpr long kRegErrMoreData = 234;        // the name or the data does not fit the buffer
inline constexpr long kRegErrNoMoreItems = 259;     // no value at that index
inline constexpr long kRegErrIoFailed = 1016;       // the registry's storage could not be read or written
inline constexpr long kRegErrBusy = 1460;           // another process held the registry for too long

class IRegistry {
public:
    virtual ~IRegistry() = default;

    // Opens the key `path` below `root`, creating it and any missing parents.
    virtual long CreateKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) = 0;
    // Opens an existing key.
    virtual long OpenKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) = 0;
    virtual long CloseKey(HREGKEY key) = 0;
    // The number of values the key holds.
    virtual long QueryValueCount(HREGKEY key, uint32_t* count) = 0;
    // The value at `index` (0 up to the count less one). `nameChars` gives the
    // name buffer's size in units, terminator included, and receives the
    // name's length without it; `dataBytes` gives the data buffer's size and
    // receives the data's. A name or data that does not fit gives
    // kRegErrMoreData. `type` and `data` may be null.
    virtual long EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type,
                           uint8_t* data, uint32_t* dataBytes) = 0;
    // Creates or replaces the value `name` (letter case ignored; a new value
    // keeps the case given). Texts are UTF-16 in the machine's byte order.
    virtual long SetValue(HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                          uint32_t bytes) = 0;
};

// The current user's registry of this machine: the system registry where there
// is one, the per-user hive file elsewhere.
IRegistry& DefaultRegistry();

}  // namespace settings
