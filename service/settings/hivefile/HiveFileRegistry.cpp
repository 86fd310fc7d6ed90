#include "service/settings/hivefile/HiveFileRegistry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"

namespace settings {
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
// every moment, both on disk and as seen by readers. `written` receives the
// new file's status. On failure `why` says what stood in the way.
bool WriteAtomically(const std::string& dir, const std::string& path, const std::string& temp,
                     const std::string& bytes, struct stat& written, std::string& why) {
    // A temporary file left by a writer that died goes; anything else there
    // (a folder, say) stays and stops the write.
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {
        why = "cannot remove " + temp + ": " + std::strerror(errno);
        return false;
    }
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        why = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    if (!ok) why = std::string("cannot write ") + temp + ": " + std::strerror(errno);
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        why = "cannot rename " + temp + ": " + std::strerror(errno);
        ok = false;
    }
    // The status after the rename, which changes the file's change time; if it
    // cannot be had, a status that matches no file makes the next read parse.
    if (ok && ::fstat(fd, &written) != 0) written = {};
    ::close(fd);
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncDirectory(dir);  // the rename is done; a failed flush of the folder only delays its durability
    return true;
}

enum class FileState { Read, Missing, Unreadable, NotRegular, TooLarge };

// What a file that is not a regular one is, for the trace.
const char* Kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// Opens `path` for reading without ever blocking (a FIFO in its place would
// otherwise wait for a writer for ever). `fd` is open only for Read.
FileState OpenForReading(const std::string& path, size_t maxBytes, int& fd, struct stat& st, int& error) {
    error = 0;
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
    }
    FileState state = FileState::Read;
    if (::fstat(fd, &st) != 0) {
        error = errno;
        state = FileState::Unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        state = FileState::NotRegular;
    } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        state = FileState::TooLarge;
    }
    if (state != FileState::Read) {
        ::close(fd);
        fd = -1;
    }
    return state;
}

// Reads the rest of `fd` and closes it.
FileState ReadAndClose(int fd, size_t maxBytes, size_t sizeHint, std::string& bytes, int& error) {
    bytes.clear();
    bytes.reserve(std::min(sizeHint, maxBytes) + 1);
    FileState state = FileState::Read;
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
    ::close(fd);
    return state;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Whether the file's times lie far enough back that a change made now would
// show in them: file times tick coarsely (two seconds on some file systems),
// so a file changed within the same tick can look untouched.
bool TimesSettled(const struct stat& st) {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    const time_t latest = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
    return now.tv_sec - latest > 3;
}

uint64_t HashOf(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

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

// An aside copy in `dir` of `file` that holds exactly `bytes`, if there is one.
std::string FindCopyAside(const std::string& dir, const std::string& file, const std::string& bytes) {
    const std::string prefix = file.substr(file.rfind('/') + 1) + ".bad-";
    std::string found;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return found;
    while (const dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        const std::string name = dir + "/" + e->d_name;
        struct stat st;
        if (::lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_size) != bytes.size())
            continue;
        int fd = -1, error = 0;
        if (OpenForReading(name, bytes.size(), fd, st, error) != FileState::Read) continue;
        std::string other;
        if (ReadAndClose(fd, bytes.size(), bytes.size(), other, error) == FileState::Read && other == bytes) {
            found = name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

// Keeps a copy of `bytes` aside, unless one with the same bytes is kept
// already; returns its name (`reused` says which), empty on failure.
std::string KeepCopyAside(const std::string& dir, const std::string& file, const std::string& bytes, bool& reused) {
    reused = false;
    if (std::string existing = FindCopyAside(dir, file, bytes); !existing.empty()) {
        reused = true;
        return existing;
    }
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
// survives the renames of the hive file, and fair: whoever asks first gets it
// first, so a process that writes in a loop cannot starve the others.
//
// - The file's first 8 bytes hold the next ticket (the next 8 the ticket being
//   served, a hint for how long to wait). A waiter takes a ticket under a
//   brief flock of the file and marks it by locking the byte kSlotBase + ticket.
// - Its turn has come when no earlier ticket's byte is still locked (those
//   waiters are done, gave up, or died) and it can lock the byte kOwnerByte,
//   which the holder keeps while it works. That byte alone keeps writers apart,
//   whatever the file holds; the tickets only set the order.
// The byte locks are open-file-description locks: each lock object has its own,
// and they go when it closes or its process dies.
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
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0600);
        struct stat st;
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ZTRACE("cannot open the registry lock %s: %s\n", path.c_str(),
                   m_fd < 0 ? std::strerror(errno) : "not a regular file");
            return kRegErrIoFailed;
        }
        m_dwStart = platform::GetTickCount();
        uint32_t pause = 1;
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) return kRegErrIoFailed;
            if (long r = Waited(path); r != kRegOk) return r;
            platform::Sleep(pause);
            if (pause < 8) pause *= 2;
        }
        const long taken = TakeTicket();
        ::flock(m_fd, LOCK_UN);
        if (taken != kRegOk) return taken;
        while (EarlierTicketWaits() || !ByteLock(F_OFD_SETLK, kOwnerByte)) {
            if (long r = Waited(path); r != kRegOk) return r;
            platform::Sleep(Pause());
        }
        // Says who is served now, so that those further back poll less often.
        uint8_t raw[8];
        Store(raw, m_nTicket);
        (void)!::pwrite(m_fd, raw, sizeof raw, kServingAt);
        return kRegOk;
    }

private:
    static constexpr off_t kNextAt = 0;      // the next ticket, 8 bytes
    static constexpr off_t kServingAt = 8;   // the holder's ticket, 8 bytes
    static constexpr off_t kOwnerByte = 16;  // locked by the holder
    static constexpr off_t kSlotBase = off_t{1} << 32;
    static constexpr uint64_t kTickets = uint64_t{1} << 40;  // tickets wrap here

    static void Store(uint8_t* raw, uint64_t value) {
        for (int i = 0; i < 8; ++i) raw[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    static uint64_t Fetch(const uint8_t* raw) {
        uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = (value << 8) | raw[i];
        return value;
    }

    // How long to wait before looking again: about a millisecond for each
    // writer still ahead (a write takes a few), at most 32.
    uint32_t Pause() const {
        uint8_t raw[8] = {};
        if (::pread(m_fd, raw, sizeof raw, kServingAt) != static_cast<ssize_t>(sizeof raw)) return 1;
        const uint64_t ahead = (m_nTicket + kTickets - Fetch(raw) % kTickets) % kTickets;
        return static_cast<uint32_t>(std::clamp<uint64_t>(ahead, 1, 32));
    }

    long Waited(const std::string& path) const {
        if (platform::GetTickCount() - m_dwStart < CHiveFileRegistry::kLockWaitMs) return kRegOk;
        ZTRACE("registry lock %s held by another process for %u ms; giving up\n", path.c_str(),
               CHiveFileRegistry::kLockWaitMs);
        return kRegErrBusy;
    }

    bool ByteLock(int command, off_t start, off_t length = 1) {
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = start;
        fl.l_len = length;
        return ::fcntl(m_fd, command, &fl) == 0;
    }

    // Under the flock: takes the next ticket and marks it.
    long TakeTicket() {
        uint8_t raw[8] = {};
        if (::pread(m_fd, raw, sizeof raw, kNextAt) < 0) return kRegErrIoFailed;
        uint64_t next = Fetch(raw) % kTickets;
        // A ticket still marked (the file was tampered with) is skipped.
        for (int tries = 0; !ByteLock(F_OFD_SETLK, kSlotBase + static_cast<off_t>(next)); ++tries) {
            if (tries == 64) return kRegErrIoFailed;
            next = (next + 1) % kTickets;
        }
        m_nTicket = next;
        Store(raw, (next + 1) % kTickets);
        if (::pwrite(m_fd, raw, sizeof raw, kNextAt) != static_cast<ssize_t>(sizeof raw)) return kRegErrIoFailed;
        return kRegOk;
    }

    bool EarlierTicketWaits() const {
        if (m_nTicket == 0) return false;
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = kSlotBase;
        fl.l_len = static_cast<off_t>(m_nTicket);
        return ::fcntl(m_fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    }

    int m_fd = -1;
    uint32_t m_dwStart = 0;
    uint64_t m_nTicket = 0;
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

// -- where the hive is ----------------------------------------------------------------

// A link in the hive's place (dotfile managers make them) is followed: when it
// leads to a regular file of this user, that file is the hive, read and
// replaced in its own folder so the link stays. A link to anything else is
// read as far as it goes but never written, copied aside or moved.
void CHiveFileRegistry::Resolve() {
    m_target = {};
    m_target.path = m_strFile;
    m_target.dir = m_strDir;
    m_target.temp = m_strTemp;
    struct stat st;
    if (::lstat(m_strFile.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
    m_target.isLink = true;
    char real[PATH_MAX];
    if (!::realpath(m_strFile.c_str(), real)) {
        m_target.notOurs = std::string("a link to nothing (") + std::strerror(errno) + ")";
        return;
    }
    m_target.path = real;
    m_target.dir = m_target.path.substr(0, std::max<size_t>(m_target.path.rfind('/'), 1));
    m_target.temp = m_target.path + ".new";
    if (::stat(real, &st) != 0) {
        m_target.notOurs = std::string("a link to nothing (") + std::strerror(errno) + ")";
    } else if (!S_ISREG(st.st_mode)) {
        m_target.notOurs = std::string("a link to ") + Kind(st.st_mode);
    } else if (st.st_uid != ::geteuid()) {
        m_target.notOurs = "a link to a file of another user";
    }
}

// -- reading, keeping aside, writing ---------------------------------------------

long CHiveFileRegistry::Load(bool locked) {
    if (m_strFile.empty()) {
        ZTRACE("no home folder, so no registry file\n");
        m_cache = {};
        return kRegErrIoFailed;
    }
    Resolve();
    int fd = -1, error = 0;
    struct stat st = {};
    FileState state = OpenForReading(m_target.path, m_nMaxFileBytes, fd, st, error);
    if (state == FileState::Missing) {
        m_cache = {};
        return kRegOk;
    }
    std::string bytes;
    if (state == FileState::Read) {
        const bool same = m_cache.valid && m_cache.path == m_target.path && m_cache.dev == st.st_dev &&
                          m_cache.ino == st.st_ino && m_cache.size == st.st_size &&
                          SameTime(m_cache.mtime, st.st_mtim) && SameTime(m_cache.ctime, st.st_ctim);
        if (same && m_cache.settled) {
            ::close(fd);
            if (m_target.notOurs.empty()) m_target.notOurs = m_cache.notOurs;
            return m_cache.result;
        }
        state = ReadAndClose(fd, m_nMaxFileBytes, static_cast<size_t>(st.st_size), bytes, error);
        // Times too recent to trust: the same bytes prove the file unchanged.
        if (same && state == FileState::Read && HashOf(bytes) == m_cache.hash) {
            m_cache.settled = TimesSettled(st);
            if (m_target.notOurs.empty()) m_target.notOurs = m_cache.notOurs;
            return m_cache.result;
        }
    }
    m_cache = {};
    if (state == FileState::Read) {
        ++m_nParses;
        const hive::ParseReport report = hive::ParseHive(bytes, m_cache.hive);
        if (st.st_mode & (S_IRGRP | S_IROTH))
            ZTRACE("warning: registry file %s may be read by others (mode %04o), and it holds the device "
                   "password\n",
                   m_target.path.c_str(), static_cast<unsigned>(st.st_mode & 07777));
        if (report.clean) {
            Remember(st, bytes, kRegOk);
            return kRegOk;
        }
        if (m_target.isLink) {
            // Never repaired: what the link leads to may be any file of the user's.
            ZTRACE("registry file %s is a link to %s, which is not a sound registry file (line %zu: %s); it is "
                   "read as far as it goes, and neither kept aside nor written\n",
                   m_strFile.c_str(), m_target.path.c_str(), report.firstLine, report.firstProblem.c_str());
            if (m_target.notOurs.empty()) m_target.notOurs = "a link to a file that is not a sound registry file";
            Remember(st, bytes, kRegErrIoFailed);
            return kRegErrIoFailed;
        }
        if (locked) return Repair(st, bytes, report);
    } else if (m_target.isLink) {
        const char* why = state == FileState::TooLarge ? "it is larger than the limit"
                          : state == FileState::NotRegular ? Kind(st.st_mode)
                                                           : std::strerror(error);
        ZTRACE("registry file %s is a link to %s, which cannot be read (%s); it is left as it is\n",
               m_strFile.c_str(), m_target.path.c_str(), why);
        if (m_target.notOurs.empty()) m_target.notOurs = "a link to a file that cannot be read";
        return kRegErrIoFailed;
    } else if (locked) {
        return MoveUnreadableAside(static_cast<int>(state), st, error);
    }
    // The file must be put right before anything replaces it, under the lock.
    CHiveLock lock;
    if (lock.Acquire(m_strDir, m_strLock) != kRegOk) {
        ZTRACE("registry file %s is damaged and cannot be locked; going on with what it holds\n",
               m_strFile.c_str());
        return kRegErrIoFailed;
    }
    return Load(true);
}

void CHiveFileRegistry::Remember(const struct stat& st, std::string_view bytes, long result) {
    m_cache.valid = true;
    m_cache.path = m_target.path;
    m_cache.dev = st.st_dev;
    m_cache.ino = st.st_ino;
    m_cache.size = st.st_size;
    m_cache.mtime = st.st_mtim;
    m_cache.ctime = st.st_ctim;
    m_cache.hash = HashOf(bytes);
    m_cache.settled = TimesSettled(st);
    m_cache.result = result;
    m_cache.notOurs = m_target.notOurs;
}

// Under the lock, with the file's bytes that did not read cleanly and what
// could be read of them in the cache: keeps the bytes aside (once for the same
// bytes) before anything replaces them, then writes back what was read. kRegOk
// when the file may be replaced.
long CHiveFileRegistry::Repair(const struct stat& st, const std::string& bytes, const hive::ParseReport& report) {
    bool reused = false;
    const std::string aside = KeepCopyAside(m_strDir, m_strFile, bytes, reused);
    if (aside.empty()) {
        ZTRACE("registry file %s is malformed (line %zu: %s) and no copy could be kept (%s); it is not "
               "written until one can be\n",
               m_strFile.c_str(), report.firstLine, report.firstProblem.c_str(), std::strerror(errno));
        return kRegErrIoFailed;
    }
    ZTRACE("registry file %s is malformed (line %zu: %s; %zu problem(s)); %s %s, going on with what could be "
           "read\n",
           m_strFile.c_str(), report.firstLine, report.firstProblem.c_str(), report.problems,
           reused ? "its bytes are kept already as" : "kept as", aside.c_str());
    if (Write(m_cache.hive) != kRegOk) {
        // The same bytes are not looked at again while the file stays unchanged.
        ZTRACE("registry file %s stays as it is (its bytes are kept as %s): %s\n", m_strFile.c_str(),
               aside.c_str(), m_strWriteProblem.c_str());
        Remember(st, bytes, kRegOk);
    }
    return kRegOk;
}

// Under the lock: a file that cannot be read at all is moved out of the way.
long CHiveFileRegistry::MoveUnreadableAside(int state, const struct stat& st, int error) {
    m_cache = {};
    const std::string aside = MoveAside(m_strDir, m_strFile);
    std::string why = static_cast<FileState>(state) == FileState::TooLarge    ? "it is larger than the limit"
                      : static_cast<FileState>(state) == FileState::NotRegular ? std::string("it is ") + Kind(st.st_mode)
                                                                                : std::strerror(error);
    if (aside.empty()) {
        ZTRACE("registry file %s cannot be read (%s) nor moved aside (%s); it is not written until it can be\n",
               m_strFile.c_str(), why.c_str(), std::strerror(errno));
        return kRegErrIoFailed;
    }
    ZTRACE("registry file %s cannot be read (%s); moved to %s, going on without it\n", m_strFile.c_str(),
           why.c_str(), aside.c_str());
    return kRegOk;
}

long CHiveFileRegistry::Write(const hive::Hive& hive) {
    m_strWriteProblem.clear();
    if (!m_target.notOurs.empty()) {
        m_strWriteProblem = "it is " + m_target.notOurs + ", which is not written";
        ZTRACE("registry file %s is not written: %s\n", m_strFile.c_str(), m_strWriteProblem.c_str());
        return kRegErrIoFailed;
    }
    std::string text = hive::FormatHive(hive);
    if (text.size() > m_nMaxFileBytes) {
        m_strWriteProblem = "its text would be " + std::to_string(text.size()) + " bytes, over the limit of " +
                            std::to_string(m_nMaxFileBytes);
        ZTRACE("registry file %s would grow to %zu bytes; not written\n", m_strFile.c_str(), text.size());
        return kRegErrTooLarge;
    }
    struct stat st;
    if (!WriteAtomically(m_target.dir, m_target.path, m_target.temp, text, st, m_strWriteProblem)) {
        ZTRACE("cannot write registry file %s: %s\n", m_target.path.c_str(), m_strWriteProblem.c_str());
        m_cache.valid = false;
        return kRegErrIoFailed;
    }
    if (&hive != &m_cache.hive) m_cache.hive = hive;
    Remember(st, text, kRegOk);
    return kRegOk;
}

// A registry opened for writing is made private again if it was not: the
// folder (others could replace the file) and the file (it holds the password).
void CHiveFileRegistry::Tighten() {
    struct stat st;
    if (::stat(m_strDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 077) &&
        st.st_uid == ::geteuid() && ::chmod(m_strDir.c_str(), st.st_mode & 0700) == 0) {
        ZTRACE("registry folder %s was open to others (mode %04o); now %04o\n", m_strDir.c_str(),
               static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_mode & 0700));
    }
    if (!m_target.notOurs.empty()) return;
    const int fd = ::open(m_target.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) && st.st_uid == ::geteuid() &&
        ::fchmod(fd, st.st_mode & 0600) == 0) {
        ZTRACE("registry file %s was open to others (mode %04o); now %04o\n", m_target.path.c_str(),
               static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_mode & 0600));
    }
    ::close(fd);
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

void CHiveFileRegistry::TakeSnapshot(KeyEntry& entry) {
    const hive::HiveKey* key = m_cache.hive.FindKey(entry.path);
    entry.snapshot = key ? key->values : std::vector<hive::HiveValue>{};
    entry.hasSnapshot = true;
}

long CHiveFileRegistry::Open(HREGKEY root, std::u16string_view path, uint32_t access, bool create,
                             HREGKEY* key) {
    if (!key) return kRegErrInvalidParameter;
    *key = nullptr;
    std::lock_guard<std::mutex> hold(m_mutex);
    std::u16string full;
    if (long r = FullPath(root, path, full); r != kRegOk) return r;
    Load(false);  // reading goes on with whatever could be read
    if (!ExistsIn(m_cache.hive, full)) {
        if (!create) return kRegErrNotFound;
        CHiveLock lock;
        if (long r = lock.Acquire(m_strDir, m_strLock); r != kRegOk) return r;
        if (long r = Load(true); r != kRegOk) return r;
        hive::Hive& hive = m_cache.hive;
        if (!ExistsIn(hive, full)) {
            hive.AddKey(InHiveCase(hive, full));
            if (long r = Write(hive); r != kRegOk) {
                hive.keys.pop_back();  // the cache holds what the file holds
                return r;
            }
        }
    }
    if (access & kKeySetValue) Tighten();
    KeyEntry entry;
    entry.path = std::move(full);
    entry.access = access;
    TakeSnapshot(entry);
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
    Load(false);
    TakeSnapshot(*entry);
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
        Load(false);
        TakeSnapshot(*entry);
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
    if (long r = Load(true); r != kRegOk) return r;
    hive::Hive& hive = m_cache.hive;
    // A key that someone removed from the file meanwhile comes back with this value.
    const std::u16string path = InHiveCase(hive, entry->path);
    const bool newKey = hive.FindKey(path) == nullptr;
    hive::HiveKey& section = hive.AddKey(path);
    std::optional<hive::HiveValue> old;
    if (const hive::HiveValue* value = section.Find(name)) old = *value;
    section.Set(name, type, data, bytes);
    if (long r = Write(hive); r != kRegOk) {
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
    for (auto& [handle, other] : m_keys) {
        if (platform::EqualsIgnoreCase(other.path, entry->path)) {
            other.snapshot = section.values;
            other.hasSnapshot = true;
        }
    }
    return kRegOk;
}

}  // namespace settings
