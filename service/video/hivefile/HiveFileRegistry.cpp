#include "service/video/hivefile/HiveFileRegistry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"

namespace video {
namespace {

constexpr char16_t kRootName[] = u"HKEY_CURRENT_USER";

// -- files ----------------------------------------------------------------------

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SyncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Creates `dir` and its missing parents, each readable by the owner only.
bool MakeDirectories(const std::string& dir) {
    if (dir.empty()) return false;
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos < dir.size() && dir[pos] != '/') continue;
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Replaces `path` by `bytes` so that the old or the new content is there at
// every moment, both on disk and as seen by readers.
bool WriteAtomically(const std::string& dir, const std::string& path, const std::string& temp,
                     const std::string& bytes) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncDirectory(dir);  // the rename is done; a failed flush of the folder only delays its durability
    return true;
}

enum class FileState { Read, Missing, Unreadable, TooLarge };

FileState ReadFile(const std::string& path, size_t maxBytes, std::string& bytes, int& error) {
    bytes.clear();
    error = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
    }
    FileState state = FileState::Read;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = errno;
        state = FileState::Unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        error = EISDIR;
        state = FileState::Unreadable;
    } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        state = FileState::TooLarge;
    } else {
        char buffer[65536];
        while (true) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno;
                state = FileState::Unreadable;
                break;
            }
            if (n == 0) break;
            bytes.append(buffer, static_cast<size_t>(n));
            if (bytes.size() > maxBytes) {
                state = FileState::TooLarge;  // it grew while we read
                break;
            }
        }
    }
    ::close(fd);
    return state;
}

// A name beside `file` that is not taken yet: file.bad-YYYYMMDD-HHMMSS[-n].
std::string AsideName(const std::string& file, int attempt) {
    const time_t now = ::time(nullptr);
    struct tm utc;
    ::gmtime_r(&now, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, ".bad-%04d%02d%02d-%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    std::string name = file + stamp;
    if (attempt > 0) name += "-" + std::to_string(attempt + 1);
    return name;
}

// Writes a copy of `bytes` under a new aside name; returns the name, empty on failure.
std::string KeepCopyAside(const std::string& dir, const std::string& file, const std::string& bytes) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = AsideName(file, attempt);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {};
        }
        bool ok = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        if (!ok) {
            ::unlink(name.c_str());
            return {};
        }
        SyncDirectory(dir);
        return name;
    }
    return {};
}

// Moves `file` itself to a new aside name; returns the name, empty on failure.
std::string MoveAside(const std::string& dir, const std::string& file) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = AsideName(file, attempt);
        int r = ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE);
        if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the no-replace rename: we hold the lock, so look first.
            struct stat st;
            if (::lstat(name.c_str(), &st) == 0) continue;
            r = ::rename(file.c_str(), name.c_str());
        }
        if (r == 0) {
            SyncDirectory(dir);
            return name;
        }
        if (errno != EEXIST) return {};
    }
    return {};
}

// The exclusive lock around a read-modify-write, on a file of its own that
// survives the renames of the hive file. Released when the object goes (or
// when the process dies).
class CHiveLock {
public:
    CHiveLock() = default;
    ~CHiveLock() {
        if (m_fd >= 0) ::close(m_fd);
    }
    CHiveLock(const CHiveLock&) = delete;
    CHiveLock& operator=(const CHiveLock&) = delete;

    long Acquire(const std::string& dir, const std::string& path) {
        if (!MakeDirectories(dir)) {
            ZTRACE("cannot create the registry folder %s: %s\n", dir.c_str(), std::strerror(errno));
            return kRegErrIoFailed;
        }
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            ZTRACE("cannot open the registry lock %s: %s\n", path.c_str(), std::strerror(errno));
            return kRegErrIoFailed;
        }
        const uint32_t start = platform::GetTickCount();
        uint32_t pause = 1;
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) return kRegErrIoFailed;
            if (platform::GetTickCount() - start >= CHiveFileRegistry::kLockWaitMs) {
                ZTRACE("registry lock %s held by another process for %u ms; giving up\n", path.c_str(),
                       CHiveFileRegistry::kLockWaitMs);
                return kRegErrBusy;
            }
            platform::Sleep(pause);
            if (pause < 16) pause *= 2;
        }
        return kRegOk;
    }

private:
    int m_fd = -1;
};

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
    : m_strDir(std::move(directory)), m_nMaxFileBytes(maxFileBytes) {
    while (m_strDir.size() > 1 && m_strDir.back() == '/') m_strDir.pop_back();
    if (!m_strDir.empty()) {
        m_strFile = m_strDir + "/" + kHiveFileName;
        m_strTemp = m_strFile + ".new";
        m_strLock = m_strFile + ".lock";
    }
}

CHiveFileRegistry::~CHiveFileRegistry() = default;

// -- reading, keeping aside, writing ---------------------------------------------

long CHiveFileRegistry::Load(hive::Hive& hive, bool locked) {
    hive = {};
    if (m_strFile.empty()) {
        ZTRACE("no home folder, so no registry file\n");
        return kRegErrIoFailed;
    }
    std::string bytes;
    int error = 0;
    const FileState state = ReadFile(m_strFile, m_nMaxFileBytes, bytes, error);
    if (state == FileState::Missing) return kRegOk;
    if (state == FileState::Read && hive::ParseHive(bytes, hive).clean) return kRegOk;
    if (locked) return Repair(hive);
    CHiveLock lock;
    if (lock.Acquire(m_strDir, m_strLock) != kRegOk) {
        hive = {};
        if (state == FileState::Read) hive::ParseHive(bytes, hive);
        ZTRACE("registry file %s is damaged and cannot be locked; going on with what it holds\n",
               m_strFile.c_str());
        return kRegErrIoFailed;
    }
    return Repair(hive);
}

// Under the lock: reads the file again and, if it is still not sound, keeps
// its bytes aside before anything replaces them. kRegOk when that is done
// (or was not needed); otherwise `hive` holds what could be read, but the
// file must not be replaced.
long CHiveFileRegistry::Repair(hive::Hive& hive) {
    hive = {};
    std::string bytes;
    int error = 0;
    const FileState state = ReadFile(m_strFile, m_nMaxFileBytes, bytes, error);
    if (state == FileState::Missing) return kRegOk;
    if (state == FileState::Read) {
        const hive::ParseReport report = hive::ParseHive(bytes, hive);
        if (report.clean) return kRegOk;
        const std::string aside = KeepCopyAside(m_strDir, m_strFile, bytes);
        if (aside.empty()) {
            ZTRACE("registry file %s is malformed (line %zu: %s) and no copy could be kept (%s); it is not "
                   "written until one can be\n",
                   m_strFile.c_str(), report.firstLine, report.firstProblem.c_str(), std::strerror(errno));
            return kRegErrIoFailed;
        }
        ZTRACE("registry file %s is malformed (line %zu: %s; %zu problem(s)); kept as %s, going on with what "
               "could be read\n",
               m_strFile.c_str(), report.firstLine, report.firstProblem.c_str(), report.problems, aside.c_str());
        if (Write(hive) != kRegOk) ZTRACE("could not write back what was read of %s\n", m_strFile.c_str());
        return kRegOk;
    }
    const std::string aside = MoveAside(m_strDir, m_strFile);
    const char* why = state == FileState::TooLarge ? "it is larger than the limit" : std::strerror(error);
    if (aside.empty()) {
        ZTRACE("registry file %s cannot be read (%s) nor moved aside (%s); it is not written until it can be\n",
               m_strFile.c_str(), why, std::strerror(errno));
        return kRegErrIoFailed;
    }
    ZTRACE("registry file %s cannot be read (%s); moved to %s, going on without it\n", m_strFile.c_str(), why,
           aside.c_str());
    return kRegOk;
}

long CHiveFileRegistry::Write(const hive::Hive& hive) {
    const std::string text = hive::FormatHive(hive);
    if (text.size() > m_nMaxFileBytes) {
        ZTRACE("registry file %s would grow to %zu bytes; not written\n", m_strFile.c_str(), text.size());
        return kRegErrTooLarge;
    }
    if (!WriteAtomically(m_strDir, m_strFile, m_strTemp, text)) {
        ZTRACE("cannot write registry file %s: %s\n", m_strFile.c_str(), std::strerror(errno));
        return kRegErrIoFailed;
    }
    return kRegOk;
}

// -- the registry operations ---------------------------------------------------------

CHiveFileRegistry::KeyEntry* CHiveFileRegistry::Entry(HREGKEY key) {
    const auto it = m_keys.find(reinterpret_cast<uintptr_t>(key));
    return it == m_keys.end() ? nullptr : &it->second;
}

long CHiveFileRegistry::FullPath(HREGKEY root, std::u16string_view path, std::u16string& full) {
    if (root == kRegCurrentUser) {
        full = kRootName;
    } else if (KeyEntry* entry = Entry(root)) {
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

void CHiveFileRegistry::TakeSnapshot(KeyEntry& entry, hive::Hive& hive) {
    hive::HiveKey* key = hive.FindKey(entry.path);
    entry.snapshot = key ? std::move(key->values) : std::vector<hive::HiveValue>{};
    entry.hasSnapshot = true;
}

long CHiveFileRegistry::Open(HREGKEY root, std::u16string_view path, uint32_t access, bool create,
                             HREGKEY* key) {
    if (!key) return kRegErrInvalidParameter;
    *key = nullptr;
    std::lock_guard<std::mutex> hold(m_mutex);
    std::u16string full;
    if (long r = FullPath(root, path, full); r != kRegOk) return r;
    hive::Hive hive;
    Load(hive, false);  // reading goes on with whatever could be read
    if (!ExistsIn(hive, full)) {
        if (!create) return kRegErrNotFound;
        CHiveLock lock;
        if (long r = lock.Acquire(m_strDir, m_strLock); r != kRegOk) return r;
        if (long r = Load(hive, true); r != kRegOk) return r;
        if (!ExistsIn(hive, full)) {
            hive.AddKey(InHiveCase(hive, full));
            if (long r = Write(hive); r != kRegOk) return r;
        }
    }
    KeyEntry entry;
    entry.path = std::move(full);
    entry.access = access;
    TakeSnapshot(entry, hive);
    const uintptr_t handle = m_nNextHandle;
    m_nNextHandle += 4;
    m_keys.emplace(handle, std::move(entry));
    *key = reinterpret_cast<HREGKEY>(handle);
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
    return m_keys.erase(reinterpret_cast<uintptr_t>(key)) ? kRegOk : kRegErrInvalidHandle;
}

long CHiveFileRegistry::QueryValueCount(HREGKEY key, uint32_t* count) {
    if (!count) return kRegErrInvalidParameter;
    std::lock_guard<std::mutex> hold(m_mutex);
    KeyEntry* entry = Entry(key);
    if (!entry) return kRegErrInvalidHandle;
    if (!(entry->access & kKeyQueryValue)) return kRegErrAccessDenied;
    hive::Hive hive;
    Load(hive, false);
    TakeSnapshot(*entry, hive);
    *count = static_cast<uint32_t>(entry->snapshot.size());
    return kRegOk;
}

long CHiveFileRegistry::EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars,
                                  uint32_t* type, uint8_t* data, uint32_t* dataBytes) {
    if (!name || !nameChars || (data && !dataBytes)) return kRegErrInvalidParameter;
    std::lock_guard<std::mutex> hold(m_mutex);
    KeyEntry* entry = Entry(key);
    if (!entry) return kRegErrInvalidHandle;
    if (!(entry->access & kKeyQueryValue)) return kRegErrAccessDenied;
    if (!entry->hasSnapshot) {
        hive::Hive hive;
        Load(hive, false);
        TakeSnapshot(*entry, hive);
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
    KeyEntry* entry = Entry(key);
    if (!entry) return kRegErrInvalidHandle;
    if (!(entry->access & kKeySetValue)) return kRegErrAccessDenied;
    if (m_strFile.empty()) return kRegErrIoFailed;

    CHiveLock lock;
    if (long r = lock.Acquire(m_strDir, m_strLock); r != kRegOk) return r;
    hive::Hive hive;
    if (long r = Load(hive, true); r != kRegOk) return r;
    // A key that someone removed from the file meanwhile comes back with this value.
    hive::HiveKey& section = hive.AddKey(InHiveCase(hive, entry->path));
    section.Set(name, type, data, bytes);
    if (long r = Write(hive); r != kRegOk) return r;
    // Every handle of this key enumerates what is now there; changes made by
    // other processes show from the next count of values on.
    const std::u16string path = entry->path;
    for (auto& [handle, other] : m_keys) {
        if (platform::EqualsIgnoreCase(other.path, path)) {
            other.snapshot = section.values;
            other.hasSnapshot = true;
        }
    }
    return kRegOk;
}

}  // namespace video
