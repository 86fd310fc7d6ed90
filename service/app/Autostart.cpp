#include "service/app/Autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace app {

namespace {

constexpr char kEntryName[] = "zelt2-service.desktop";
// An entry of ours is small; a larger file there is read no further.
constexpr size_t kMaxEntryBytes = 64 * 1024;

// Creates `path` and the folders above it that are missing.
bool MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string DesktopExecValue(std::string_view program) {
    // Inside a quoted argument '"', '`', '$' and '\' take a backslash; then
    // the value as a whole doubles every backslash, and '%' is doubled as
    // field codes require.
    std::string value = "\"";
    for (const char c : program) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
        if (c == '"' || c == '`' || c == '$') {
            value += "\\\\";
            value += c;
        } else if (c == '\\') {
            value += "\\\\\\\\";
        } else if (c == '%') {
            value += "%%";
        } else {
            value += c;
        }
    }
    return value + "\"";
}

CXdgAutostart::CXdgAutostart(std::string folder, std::string program)
    : m_strFolder(std::move(folder)), m_strEntry(m_strFolder + "/" + kEntryName), m_strProgram(std::move(program)) {}

std::string CXdgAutostart::DefaultFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return std::string(config) + "/autostart";
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::string(home) + "/.config/autostart";
    return {};
}

bool CXdgAutostart::IsOn() const {
    if (m_strFolder.empty()) return false;
    const int fd = ::open(m_strEntry.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.resize(kMaxEntryBytes);
        const ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    ::close(fd);
    if (text.empty()) return false;
    // The desktop's own ways of switching an entry off.
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
        start = end + 1;
    }
    return true;
}

bool CXdgAutostart::Set(bool on) {
    if (m_strFolder.empty()) return false;
    if (!on) return ::unlink(m_strEntry.c_str()) == 0 || errno == ENOENT;
    const std::string exec = DesktopExecValue(m_strProgram);
    if (exec.empty() || m_strProgram.empty() || m_strProgram[0] != '/' || !MakeFolders(m_strFolder)) return false;
    const std::string text =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=ZELT2 Service\n"
        "Comment=Serves a USB camera's live video to ZELT2 viewers\n"
        "Exec=" + exec + "\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    // Written beside it and renamed over it: a half-written entry never shows.
    const std::string temporary = m_strEntry + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), m_strEntry.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace app
