#include "service/settings/hivefile/HiveFile.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>

#include "platform/Trace.h"
#include "service/settings/Registry.h"
#include "service/settings/hivefile/FileIo.h"

namespace settings {
namespace {

using fileio::FileState;

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

}  // namespace

CHiveFile::CHiveFile(std::string directory, const char* fileName, size_t maxFileBytes)
    : m_strDir(std::move(directory)), m_nMaxFileBytes(maxFileBytes) {
    while (m_strDir.size() > 1 && m_strDir.back() == '/') m_strDir.pop_back();
    if (!m_strDir.empty()) {
        m_strFile = m_strDir + "/" + fileName;
        m_strTemp = m_strFile + ".new";
        m_strLock = m_strFile + ".lock";
    }
}

// -- where the hive is ----------------------------------------------------------------

// A link in the hive's place (dotfile managers make them) is followed: when it
// leads to a regular file of this user, that file is the hive, read and
// replaced in its own folder so the link stays. A link to anything else is
// read as far as it goes but never written, copied aside or moved.
void CHiveFile::Resolve() {
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
        m_target.notOurs = std::string("a link to ") + fileio::Kind(st.st_mode);
    } else if (st.st_uid != ::geteuid()) {
        m_target.notOurs = "a link to a file of another user";
    }
}

// -- reading, keeping aside, writing ---------------------------------------------

long CHiveFile::Load(bool locked) {
    if (m_strFile.empty()) {
        ZTRACE("no home folder, so no registry file\n");
        m_cache = {};
        return kRegErrIoFailed;
    }
    Resolve();
    int fd = -1, error = 0;
    struct stat st = {};
    FileState state = fileio::OpenForReading(m_target.path, m_nMaxFileBytes, fd, st, error);
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
        state = fileio::ReadAndClose(fd, m_nMaxFileBytes, static_cast<size_t>(st.st_size), bytes, error);
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
                          : state == FileState::NotRegular ? fileio::Kind(st.st_mode)
                                                           : std::strerror(error);
        ZTRACE("registry file %s is a link to %s, which cannot be read (%s); it is left as it is\n",
               m_strFile.c_str(), m_target.path.c_str(), why);
        if (m_target.notOurs.empty()) m_target.notOurs = "a link to a file that cannot be read";
        return kRegErrIoFailed;
    } else if (locked) {
        return MoveUnreadableAside(state, st, error);
    }
    // The file must be put right before anything replaces it, under the lock.
    CHiveLock lock;
    if (Lock(lock) != kRegOk) {
        ZTRACE("registry file %s is damaged and cannot be locked; going on with what it holds\n",
               m_strFile.c_str());
        return kRegErrIoFailed;
    }
    return Load(true);
}

void CHiveFile::Remember(const struct stat& st, std::string_view bytes, long result) {
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
long CHiveFile::Repair(const struct stat& st, const std::string& bytes, const hive::ParseReport& report) {
    bool reused = false;
    const std::string aside = fileio::KeepCopyAside(m_strDir, m_strFile, bytes, reused);
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
long CHiveFile::MoveUnreadableAside(FileState state, const struct stat& st, int error) {
    m_cache = {};
    const std::string aside = fileio::MoveAside(m_strDir, m_strFile);
    std::string why = state == FileState::TooLarge     ? "it is larger than the limit"
                      : state == FileState::NotRegular ? std::string("it is ") + fileio::Kind(st.st_mode)
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

long CHiveFile::Write(const hive::Hive& hive) {
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
    if (!fileio::WriteAtomically(m_target.dir, m_target.path, m_target.temp, text, st, m_strWriteProblem)) {
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
void CHiveFile::Tighten() {
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

}  // namespace settings
