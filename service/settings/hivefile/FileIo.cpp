#include "service/settings/hivefile/FileIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace settings::fileio {
namespace {

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

}  // namespace

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

const char* Kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

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

}  // namespace settings::fileio
