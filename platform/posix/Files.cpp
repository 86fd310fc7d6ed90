#include "platform/Files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace platform {

FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::vector<std::string> ListFiles(const std::string& dir) {
    std::vector<std::string> names;
    const std::string folder = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(folder.c_str()), &::closedir);
    if (!d) return names;
    while (const dirent* e = ::readdir(d.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::stat((folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    return names;
}

bool ReplaceFileText(const std::string& path, std::string_view text) {
    if (path.empty()) return false;
    const std::string fresh = path + ".new";
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written && ::rename(fresh.c_str(), path.c_str()) == 0;
}

std::optional<long long> FileAgeSeconds(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<long long>(std::time(nullptr) - info.st_mtime);
}

namespace {

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

bool ReadPrivateFile(const std::string& path, const char* what, size_t maxBytes, std::string& text,
                     std::string& problem) {
    text.clear();
    const std::string name = std::string("The ") + what + " " + path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        problem = name + " cannot be read: " + std::strerror(errno) + ".";
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        problem = name + " is not a regular file.";
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        ::close(fd);
        problem = name + " is open to other users (mode " + Octal(info.st_mode) +
                  "); it holds a password, so it must be its owner's alone: chmod 600 " + path + ".";
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            problem = name + " cannot be read: " + std::strerror(errno) + ".";
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > maxBytes) {
            ::close(fd);
            problem = name + " is too large.";
            return false;
        }
    }
    ::close(fd);
    return true;
}

long CurrentProcessId() { return static_cast<long>(::getpid()); }

bool LocalTime(std::time_t when, std::tm& local) { return ::localtime_r(&when, &local) != nullptr; }

}  // namespace platform
