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
//
// This class is the registry port over the parts that do the work: CHiveFile
// (HiveFile.h: reading, repairing, moving aside, writing), CHiveLock (the
// lock between processes), CHiveKeyTable (the open keys), the file primitives
// of FileIo.h and the text of HiveText.h.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "service/settings/Registry.h"
#include "service/settings/hivefile/HiveFile.h"
#include "service/settings/hivefile/HiveKeyTable.h"
#include "service/settings/hivefile/HiveLock.h"
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
    static constexpr uint32_t kLockWaitMs = kHiveLockWaitMs;

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

    const std::string& FilePath() const { return m_file.Path(); }
    // How many times the file's text was parsed (it is parsed again only when
    // the file changed).
    size_t ParseCount() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_file.ParseCount();
    }

private:
    long Open(HREGKEY root, std::u16string_view path, uint32_t access, bool create, HREGKEY* key);
    long FullPath(HREGKEY root, std::u16string_view path, std::u16string& full);

    std::mutex m_mutex;  // the key table; file work happens under it too
    CHiveFile m_file;
    CHiveKeyTable m_keys;
};

}  // namespace settings
