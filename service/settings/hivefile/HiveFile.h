#pragma once
// The hive file as the registry reads and writes it (see HiveFileRegistry.h
// for what a user sees): where it is, a link in its place followed or left
// alone; its parsed text, kept while the file is unchanged; a file that does
// not read cleanly kept aside and put right, one that cannot be read at all
// moved aside; every write atomic. Not thread-safe: the registry calls it
// under its own lock.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/settings/hivefile/FileIo.h"
#include "service/settings/hivefile/HiveLock.h"
#include "service/settings/hivefile/HiveText.h"

namespace settings {

class CHiveFile {
public:
    // The file is `directory`/`fileName`; no directory, no file.
    CHiveFile(std::string directory, const char* fileName, size_t maxFileBytes);
    CHiveFile(const CHiveFile&) = delete;
    CHiveFile& operator=(const CHiveFile&) = delete;

    // False when there is no folder for the file (no home folder).
    bool HasPlace() const { return !m_strFile.empty(); }
    const std::string& Path() const { return m_strFile; }
    // Takes the lock that keeps writers of the file apart, for `lock`'s lifetime.
    long Lock(CHiveLock& lock) const { return lock.Acquire(m_strDir, m_strLock); }

    // Brings Parsed() up to date with the file, repairing the file first when
    // it is not sound (under the lock: the caller's when `locked`, else one
    // taken here). kRegOk when the file may be replaced; otherwise Parsed()
    // holds what could be read, and the file must not be written.
    long Load(bool locked);
    // Writes `hive` and, on success, makes it what Parsed() holds. Under the lock.
    long Write(const hive::Hive& hive);
    // Makes the folder and the file private again if they were not.
    void Tighten();

    // What the file holds, as far as it could be read, as of the last Load or Write.
    hive::Hive& Parsed() { return m_cache.hive; }
    // How many times the file's text was parsed.
    size_t ParseCount() const { return m_nParses; }

private:
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
    void Remember(const struct stat& st, std::string_view bytes, long result);
    long Repair(const struct stat& st, const std::string& bytes, const hive::ParseReport& report);
    long MoveUnreadableAside(fileio::FileState state, const struct stat& st, int error);

    std::string m_strDir;
    std::string m_strFile;
    std::string m_strTemp;
    std::string m_strLock;
    size_t m_nMaxFileBytes;
    Target m_target;
    Cache m_cache;
    std::string m_strWriteProblem;  // why the last write failed
    size_t m_nParses = 0;
};

}  // namespace settings
