#include "service/settings/hivefile/HiveFileRegistry.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "platform/Text.h"

namespace settings {
namespace {

constexpr char16_t kRootName[] = u"HKEY_CURRENT_USER";

bool IsPredefinedRoot(HREGKEY key) {
    const auto value = reinterpret_cast<uintptr_t>(key);
    return value >= 0x80000000u && value <= 0x8000000Fu;
}

bool ExistsIn(const hive::Hive& hive, std::u16string_view path) {
    return platform::EqualsIgnoreCase(path, kRootName) || hive.KeyExists(path);
}

// `path` with the letter case of the parts the hive already has, so that a new
// key below an existing one is written under the parent's spelling.
std::u16string InHiveCase(const hive::Hive& hive, std::u16string_view path) {
    std::u16string out(path);
    for (const auto& key : hive.keys) {
        size_t common = 0;  // units of whole parts that agree
        for (size_t i = 0; i <= std::min(key.path.size(), out.size()); ++i) {
            const bool endKey = i == key.path.size() || key.path[i] == u'\\';
            const bool endOut = i == out.size() || out[i] == u'\\';
            if (endKey != endOut) break;
            if (endKey) {
                common = i;
                continue;
            }
            if (platform::ToUpperUnit(key.path[i]) != platform::ToUpperUnit(out[i])) break;
        }
        if (common > 0) out.replace(0, common, key.path, 0, common);
    }
    return out;
}

}  // namespace

std::string DefaultHiveDirectory() {
    if (const char* dir = std::getenv(kHiveDirVariable); dir && *dir) return dir;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return std::string(config) + "/ZELT2";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else {
        struct passwd pw, *found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) return {};
    return home + "/.config/ZELT2";
}

IRegistry& DefaultRegistry() {
    static CHiveFileRegistry registry(DefaultHiveDirectory());
    return registry;
}

CHiveFileRegistry::CHiveFileRegistry(std::string directory, size_t maxFileBytes)
    : m_file(std::move(directory), kHiveFileName, maxFileBytes) {}

CHiveFileRegistry::~CHiveFileRegistry() = default;

long CHiveFileRegistry::FullPath(HREGKEY root, std::u16string_view path, std::u16string& full) {
    if (root == kRegCurrentUser) {
        full = kRootName;
    } else if (CHiveKeyTable::KeyEntry* entry = m_keys.Find(root)) {
        full = entry->path;
    } else {
        return IsPredefinedRoot(root) ? kRegErrNotFound : kRegErrInvalidHandle;
    }
    if (path.empty()) return kRegOk;
    if (!hive::IsValidKeyPath(path)) {
        const bool emptyPart = path.front() == u'\\' || path.back() == u'\\' || path.find(u"\\\\") != path.npos;
        return emptyPart ? kRegErrBadPathname : kRegErrInvalidParameter;
    }
    full += u'\\';
    full += path;
    return kRegOk;
}

long CHiveFileRegistry::Open(HREGKEY root, std::u16string_view path, uint32_t access, bool create,
                             HREGKEY* key) {
    if (!key) return kRegErrInvalidParameter;
    *key = nullptr;
    std::lock_guard<std::mutex> hold(m_mutex);
    std::u16string full;
    if (long r = FullPath(root, path, full); r != kRegOk) return r;
    m_file.Load(false);  // reading goes on with whatever could be read
    if (!ExistsIn(m_file.Parsed(), full)) {
        if (!create) return kRegErrNotFound;
        CHiveLock lock;
        if (long r = m_file.Lock(lock); r != kRegOk) return r;
        if (long r = m_file.Load(true); r != kRegOk) return r;
        hive::Hive& hive = m_file.Parsed();
        if (!ExistsIn(hive, full)) {
            hive.AddKey(InHiveCase(hive, full));
            if (long r = m_file.Write(hive); r != kRegOk) {
                hive.keys.pop_back();  // the cache holds what the file holds
                return r;
            }
        }
    }
    if (access & kKeySetValue) m_file.Tighten();
    CHiveKeyTable::KeyEntry entry;
    entry.path = std::move(full);
    entry.access = access;
    CHiveKeyTable::TakeSnapshot(entry, m_file.Parsed());
    *key = m_keys.Add(std::move(entry));
    return kRegOk;
}

long CHiveFileRegistry::CreateKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) {
    return Open(root, path, access, true, key);
}

long CHiveFileRegistry::OpenKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) {
    return Open(root, path, access, false, key);
}

long CHiveFileRegistry::CloseKey(HREGKEY key) {
    if (IsPredefinedRoot(key)) return kRegOk;
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_keys.Remove(key) ? kRegOk : kRegErrInvalidHandle;
}

long CHiveFileRegistry::QueryValueCount(HREGKEY key, uint32_t* count) {
    if (!count) return kRegErrInvalidParameter;
    std::lock_guard<std::mutex> hold(m_mutex);
    CHiveKeyTable::KeyEntry* entry = m_keys.Find(key);
    if (!entry) return kRegErrInvalidHandle;
    if (!(entry->access & kKeyQueryValue)) return kRegErrAccessDenied;
    m_file.Load(false);
    CHiveKeyTable::TakeSnapshot(*entry, m_file.Parsed());
    *count = static_cast<uint32_t>(entry->snapshot.size());
    return kRegOk;
}

long CHiveFileRegistry::EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars,
                                  uint32_t* type, uint8_t* data, uint32_t* dataBytes) {
    if (!name || !nameChars || (data && !dataBytes)) return kRegErrInvalidParameter;
    std::lock_guard<std::mutex> hold(m_mutex);
    CHiveKeyTable::KeyEntry* entry = m_keys.Find(key);
    if (!entry) return kRegErrInvalidHandle;
    if (!(entry->access & kKeyQueryValue)) return kRegErrAccessDenied;
    if (!entry->hasSnapshot) {
        m_file.Load(false);
        CHiveKeyTable::TakeSnapshot(*entry, m_file.Parsed());
    }
    if (index >= entry->snapshot.size()) return kRegErrNoMoreItems;
    const hive::HiveValue& value = entry->snapshot[index];
    if (value.name.size() + 1 > *nameChars) return kRegErrMoreData;
    std::copy(value.name.begin(), value.name.end(), name);
    name[value.name.size()] = u'\0';
    *nameChars = static_cast<uint32_t>(value.name.size());
    if (type) *type = value.type;
    if (dataBytes) {
        const uint32_t size = static_cast<uint32_t>(value.data.size());
        const uint32_t room = *dataBytes;
        *dataBytes = size;
        if (data) {
            if (size > room) return kRegErrMoreData;
            std::copy(value.data.begin(), value.data.end(), data);
        }
    }
    return kRegOk;
}

long CHiveFileRegistry::SetValue(HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                                 uint32_t bytes) {
    if (!data && bytes > 0) return kRegErrInvalidParameter;
    if (!hive::IsValidValueName(name)) return kRegErrInvalidParameter;
    std::lock_guard<std::mutex> hold(m_mutex);
    CHiveKeyTable::KeyEntry* entry = m_keys.Find(key);
    if (!entry) return kRegErrInvalidHandle;
    if (!(entry->access & kKeySetValue)) return kRegErrAccessDenied;
    if (!m_file.HasPlace()) return kRegErrIoFailed;

    CHiveLock lock;
    if (long r = m_file.Lock(lock); r != kRegOk) return r;
    if (long r = m_file.Load(true); r != kRegOk) return r;
    hive::Hive& hive = m_file.Parsed();
    // A key that someone removed from the file meanwhile comes back with this value.
    const std::u16string path = InHiveCase(hive, entry->path);
    const bool newKey = hive.FindKey(path) == nullptr;
    hive::HiveKey& section = hive.AddKey(path);
    std::optional<hive::HiveValue> old;
    if (const hive::HiveValue* value = section.Find(name)) old = *value;
    section.Set(name, type, data, bytes);
    if (long r = m_file.Write(hive); r != kRegOk) {
        // Undone, so that the cache holds what the file holds.
        if (newKey) {
            hive.keys.pop_back();
        } else if (old) {
            *section.Find(name) = std::move(*old);
        } else {
            section.values.pop_back();
        }
        return r;
    }
    // Every handle of this key enumerates what is now there; changes made by
    // other processes show from the next count of values on.
    m_keys.ShowValues(entry->path, section.values);
    return kRegOk;
}

}  // namespace settings
