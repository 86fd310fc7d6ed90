#include "service/app/console/ServiceConfig.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace app {
namespace {

// Larger than any configuration a person writes; bounds what is read.
constexpr size_t kMaxConfigBytes = 64 * 1024;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

bool ReadServiceConfig(const std::string& path, ServiceConfig& config, std::string& problem) {
    config = ServiceConfig{};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        problem = "The configuration file " + path + " cannot be read: " + std::strerror(errno) + ".";
        return false;
    }
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        problem = "The configuration file " + path + " is not a regular file.";
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        ::close(fd);
        problem = "The configuration file " + path + " is open to other users (mode " + Octal(info.st_mode) +
                  "); it holds the device password, so it must be its owner's alone: chmod 600 " + path + ".";
        return false;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            problem = "The configuration file " + path + " cannot be read: " + std::strerror(errno) + ".";
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > kMaxConfigBytes) {
            ::close(fd);
            problem = "The configuration file " + path + " is too large to be a configuration.";
            return false;
        }
    }
    ::close(fd);

    std::string_view rest = text;
    for (int lineNumber = 1; !rest.empty(); ++lineNumber) {
        const size_t end = rest.find('\n');
        const std::string_view line = Trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        const size_t eq = line.find('=');
        const std::string where = path + ", line " + std::to_string(lineNumber);
        if (eq == std::string_view::npos) {
            problem = where + ": \"" + std::string(line) + "\" is not of the form key = value.";
            return false;
        }
        const std::string_view key = Trim(line.substr(0, eq));
        const std::string value(Trim(line.substr(eq + 1)));
        if (key == "did") config.did = value;
        else if (key == "password") {
            // The example's empty one included: a service anyone may watch
            // is not started by mistake.
            if (value.empty()) {
                problem = where + ": the password is empty; set the one viewers must know.";
                return false;
            }
            config.password = value;
        }
        else if (key == "camera") config.camera = value;
        else if (key == "encoder") config.encoder = value;
        else {
            problem = where + ": unknown key \"" + std::string(key) + "\" (known: did, password, camera, encoder).";
            return false;
        }
    }
    return true;
}

}  // namespace app
