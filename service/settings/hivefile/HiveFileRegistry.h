#pragma once
// The current user's registry as one file, HKEY_CURRENT_USER.reg, in the text
// of registry export files (see HiveText.h), so a user can read it, edit it and
// carry it to another machine.
//
// - Where: $ZELT2_REGISTRY_DIR when set, else $XDG_CONFIG_HOME/ZELT2, else
//   ~/.config/ZELT2. The folder is created with mode 0700, the file is 0600:
//   it holds the device password. Opening a key for writing takes both back
//   to those modes if they were open to others; reading a file others may
//   read traces a warning.
// - Every write reaches the disk whole: the new text goes to a temporary file
//   in the same folder, is flushed, renamed over the old file, and the folder
//   is flushed; a crash or a kill at any moment leaves the old file or the new.
// - Every change is a read-modify-write under an exclusive lock on the file
//   HKEY_CURRENT_USER.reg.lock beside it, so processes writing at once do not
//   lose each other's changes; writers get the lock in the order they asked
//   for it. Readers need no lock.
// - The parsed file is kept and used again while the file is unchanged.
// - A file that cannot be fully understood is never overwritten unseen: its
//   bytes are first kept as HKEY_CURRENT_USER.reg.bad-<UTC time> (once for the
//   same bytes), the debug trace says so, and the registry goes on with what it
//   could read (which is written back as the new file, or, when that cannot be,
//   the trace says why the file stays as it is). Anything that cannot be read at
//   all (larger than 16 MiB, a folder, a FIFO, a device) is moved aside under
//   that name; the file is opened without blocking.
// - A symbolic link in the file's place is followed. When it leads to a regular
//   file of this user that reads cleanly, that file is the hive: it is written
//   in its own folder, and the link stays. A link to anything else (nothing, a
//   folder, another user's file, a file that is not a sound registry file) is
//   read as far as it goes and never written, copied or moved.

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service/settings/Registry.h"
#include "service/settings/hivefile/HiveText.h"

namespace settings {

inline constexpr char kHiveFileName[] = "HKEY_CURRENT_USER.reg";
inline constexpr char kHiveDirVariable[] = "ZELT2_REGISTRY_DIR";

// The folder of the current user's hive file, from the environment as above;
// empty when no home folder can be found.
std::string DefaultHiveDirectory();

class CHiveFileRegistry final : public IRegistry {
public:
    // The largest file read or written; a larger one is moved aside, a write
    // that would make one is refused.
    static constexpr size_t kMaxFileBytes = 16u << 20;
    // How long a change waits for another process's lock before it gives up.
    static constexpr uint32_t kLockWaitMs = 10000;

    // The hive file is `directory`/HKEY_CURRENT_USER.reg.
    explicit CHiveFileRegistry(std::string directory, size_t maxFileBytes = kMaxFileBytes);
    ~CHiveFileRegistry() override;
    CHiveFileRegistry(const CHiveFileRegistry&) = delete;
    CHiveFileRegistry& operator=(const CHiveFileRegistry&) = delete;

    long CreateKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) override;
    long OpenKey(HREGKEY root, std::u16string_view path, uint32_t access, HREGKEY* key) override;
    long CloseKey(HREGKEY key) override;
    long QueryValueCount(HREGKEY key, uint32_t* count) override;
    long EnumValue(HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type,
                   uint8_t* data, uint32_t* dataBytes) override;
    long SetValue(HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                  uint32_t bytes) override;

    const std::string& FilePath() const { return m_strFile; }
    // How many times the file's text was parsed (it is parsed again only when
    // the file changed).
    size_t ParseCount() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_nParses;
    }

private:
    struct KeyEntry {
        std::u16string path;  // full path, root name first
        uint32_t access = 0;
        bool hasSnapshot = false;
        // The values as of the last count of values (or this registry's last
        // write to the key): what enumeration by index walks.
        std::vector<hive::HiveValue> snapshot;
    };

    long Open(HREGKEY root, std::u16string_view path, uint32_t access, bool create, HREGKEY* key);
    long FullPath(HREGKEY root, std::u16string_view path, std::u16string& full);
    KeyEntry* Entry(HREGKEY key);
    // Where the hive's bytes are read from and written to (see Resolve).
    struct Target {
        std::string path, dir, temp;
        bool isLink = false;
        std::string notOurs;  // why the file must not be written, when it must not
    };
    // The parsed hive and the file it was read from, reused while the file is
    // unchanged: same file (device and inode), size and times, and, while the
    // times are recent enough that a change might not show in them, the same bytes.
    struct Cache {
        hive::Hive hive;  // what the file holds (as far as it could be read)
        bool valid = false;
        std::string path;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        timespec mtime = {}, ctime = {};
        uint64_t hash = 0;
        bool settled = false;
        long result = 0;      // what Load says for this file
        std::string notOurs;  // and why it must not be written, if so
    };

    void Resolve();
    // Brings m_cache.hive up to date with the file, repairing the file first
    // when it is not sound (under the lock: the caller's when `locked`, else
    // one taken here). kRegOk when the file may be replaced; otherwise the
    // cache holds what could be read, and the file must not be written.
    long Load(bool locked);
    void Remember(const struct stat& st, std::string_view bytes, long result);
    long Repair(const struct stat& st, const std::string& bytes, const hive::ParseReport& report);
    long MoveUnreadableAside(int state, const struct stat& st, int error);
    // Writes `hive` and, on success, makes it the cache.
    long Write(const hive::Hive& hive);
    void Tighten();
    void TakeSnapshot(KeyEntry& entry);

    std::string m_strDir;
    std::string m_strFile;
    std::string m_strTemp;
    std::string m_strLock;
    size_t m_nMaxFileBytes;
    std::mutex m_mutex;  // the handle table; file work happens under it too
    std::map<uintptr_t, KeyEntry> m_keys;
    uintptr_t m_nNextHandle = 0x1000;
    Target m_target;
    Cache m_cache;
    std::string m_strWriteProblem;  // why the last write failed
    size_t m_nParses = 0;
};

}  // namespace settings
