#pragma once
// Cached, write-through access to one registry key at a time. Opening a key
// reads all its values into memory; reads are then answered from memory, and
// every change is written to the registry at once and kept in memory. The
// store has no lock: one thread uses it.
//
//   CRegStore store(kRegStoreCreate);
//   if (store.Open(u"Software\\ZELT2\\ZELT2Service", kRegCurrentUser, kKeyQueryValue | kKeySetValue, false)) {
//       std::u16string did = store.Value(u"DID").GetString();
//       store.Value(u"DID").SetString(u"ABC");
//       store.Close();
//   }

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/settings/Registry.h"

namespace settings {

// Option bits of the store.
inline constexpr uint32_t kRegStoreCreate = 1;   // create missing keys
inline constexpr uint32_t kRegStoreLoading = 8;  // set only while Refresh runs: setters do not write

// The longest value name kept, the text buffer's size in units (terminator
// included), and the limits of what Refresh reads: names of fewer than 260
// units and data of at most 2048 bytes.
inline constexpr size_t kRegNameMax = 2048;
inline constexpr size_t kRegTextUnits = 2048;
inline constexpr uint32_t kRegEnumNameUnits = 260;
inline constexpr uint32_t kRegEnumDataBytes = 2048;

class CRegStore;

// One named value of the open key, cached in one of four types. A value keeps
// what it cached under earlier types: setting a DWORD on a former text leaves
// the text in its buffer, while m_nType says 4.
class CRegValue {
public:
    virtual ~CRegValue();
    CRegValue(const CRegValue&) = delete;
    CRegValue& operator=(const CRegValue&) = delete;

    // Each stores into the cache and, unless the store is loading or has no
    // key open, writes to the registry; a failed write is not reported.
    // The text ends at its first zero unit or at the view's end; the cache
    // keeps at most 2047 units of it, the registry gets all of it.
    void SetString(std::u16string_view text);
    void SetDword(uint32_t value);
    // With count 0 nothing happens at all.
    void SetBinary(const uint8_t* bytes, size_t count);
    // `count` is in UTF-16 units and includes the terminators (a, 0, b, 0, 0
    // with count 5 holds the parts a and b).
    void SetMultiString(const char16_t* chars, size_t count);

    // The value as text: a pointer to the value's own buffer, valid until the
    // next call on this value. DWORDs read as unsigned decimal, binary data as
    // UTF-16 units, multi-strings as their parts each with its terminator.
    const char16_t* GetString();
    // Copies the parts of a multi-string into `buffer`, each followed by its
    // terminator, as many as fit with a final terminator; another type gives
    // an empty list. Returns `buffer`.
    char16_t* GetMultiString(char16_t* buffer, size_t capacity) const;

    const std::u16string& Name() const { return m_pszName; }
    const std::vector<uint8_t>& Binary() const { return m_binary; }
    const std::vector<std::u16string>& Strings() const { return m_strings; }

    // Read directly by callers.
    uint32_t m_nType = kRegNone;  // 0 nothing cached, 1 text, 3 binary, 4 DWORD, 7 multi-string
    uint32_t m_dwValue = 0;

private:
    friend class CRegStore;
    CRegValue(CRegStore* owner, std::u16string_view name);
    void Write(uint32_t type, const void* data, size_t bytes);
    char16_t* TextBuffer();

    std::u16string m_pszName;
    CRegStore* m_pOwner;
    std::unique_ptr<char16_t[]> m_pszText;  // kRegTextUnits units once needed
    std::vector<uint8_t> m_binary;
    std::vector<std::u16string> m_strings;
};

class CRegStore {
public:
    // On the machine's registry (DefaultRegistry()).
    explicit CRegStore(uint32_t flags);
    // On `registry`, which must outlive the store.
    CRegStore(uint32_t flags, IRegistry& registry);
    virtual ~CRegStore();
    CRegStore(const CRegStore&) = delete;
    CRegStore& operator=(const CRegStore&) = delete;

    // Opens `path` below `root` (created when the store has kRegStoreCreate)
    // and, unless `keepCache`, reads its values. Opening another path than the
    // last one (letter case ignored) empties the cache first; the same path
    // keeps it and reads the registry's values over it. True when the key is
    // open (and read).
    bool Open(std::u16string_view path, HREGKEY root, uint32_t access, bool keepCache);
    // Closes the key; the cache stays and reads still come from it.
    void Close();
    // Reads the open key's values into the cache: names of 260 units or more
    // and data over 2048 bytes are skipped, as are types other than 1, 3, 4, 7.
    bool Refresh();
    // The cached value of that name (letter case ignored), a new empty one
    // when there is none. Never touches the registry.
    CRegValue& Value(std::u16string_view name);

    bool IsOpen() const { return m_hKey != nullptr; }
    uint32_t Flags() const { return m_nFlags; }
    // The path of the last Open that took the path over, if any.
    const std::optional<std::u16string>& Path() const { return m_pszPath; }
    size_t CachedCount() const { return m_values.size(); }
    // Whether a value's write reached the cache but not the registry since the
    // last call; the setters keep their own results, so a caller that must
    // know (saving the settings) asks here. Clears the report.
    bool TakeWriteFailure() { return std::exchange(m_bWriteFailed, false); }

private:
    friend class CRegValue;
    void ClearCache();

    IRegistry& m_registry;
    HREGKEY m_hKey = nullptr;
    uint32_t m_nFlags;
    HREGKEY m_hRoot = nullptr;
    std::optional<std::u16string> m_pszPath;
    std::vector<std::unique_ptr<CRegValue>> m_values;
    bool m_bWriteFailed = false;
};

}  // namespace settings
