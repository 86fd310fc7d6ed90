#include "platform/posix/DesktopUrl.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "platform/Text.h"
#include "platform/Trace.h"

namespace platform::posix {
namespace {

// The command line the fallback builds has room for this many UTF-16 units
// (and a terminating zero).
constexpr size_t kCommandUnits = 520;
// Desktop files and MIME lists are small; anything longer is not one.
constexpr std::streamsize kMaxConfigBytes = 64 * 1024;

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::vector<std::string> SplitDirs(const std::string& list) {
    std::vector<std::string> dirs;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start && list[start] == '/') dirs.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return dirs;
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxConfigBytes) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (!IsValidUtf8(bytes)) return std::nullopt;
    return bytes;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The value of `key` in `group` of a desktop-entry style file.
std::optional<std::string> IniValue(const std::string& text, std::string_view group, std::string_view key) {
    bool inGroup = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inGroup = line.size() == group.size() + 2 && line.substr(1, group.size()) == group &&
                      line.back() == ']';
            continue;
        }
        if (!inGroup) continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || Trim(line.substr(0, eq)) != key) continue;
        return std::string(Trim(line.substr(eq + 1)));
    }
    return std::nullopt;
}

// A desktop file id names a file under applications/ (a '-' may stand for a
// subfolder, which we do not follow).
bool IsPlainDesktopId(std::string_view id) {
    if (id.size() < 9 || id.substr(id.size() - 8) != ".desktop") return false;
    return id.find('/') == std::string_view::npos && id != ".." && id.front() != '.';
}

std::optional<std::string> FindDesktopEntry(const std::string& id, const std::vector<std::string>& dataDirs) {
    for (const auto& dir : dataDirs) {
        if (auto text = ReadSmallFile(dir + "/applications/" + id)) return text;
    }
    return std::nullopt;
}

// The desktop's text/html handler's Exec line.
std::optional<std::string> DefaultBrowserExec() {
    const std::string home = EnvOr("HOME", "");
    const std::string configHome = EnvOr("XDG_CONFIG_HOME", home.empty() ? "" : home + "/.config");
    const std::string dataHome = EnvOr("XDG_DATA_HOME", home.empty() ? "" : home + "/.local/share");
    std::vector<std::string> dataDirs = SplitDirs(dataHome);
    for (auto& d : SplitDirs(EnvOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))) dataDirs.push_back(d);

    std::vector<std::string> lists;
    for (auto& d : SplitDirs(configHome)) lists.push_back(d + "/mimeapps.list");
    for (auto& d : SplitDirs(EnvOr("XDG_CONFIG_DIRS", "/etc/xdg"))) lists.push_back(d + "/mimeapps.list");
    for (auto& d : dataDirs) {
        lists.push_back(d + "/applications/mimeapps.list");
        lists.push_back(d + "/applications/defaults.list");
    }
    for (const auto& list : lists) {
        const auto text = ReadSmallFile(list);
        if (!text) continue;
        const auto ids = IniValue(*text, "Default Applications", "text/html");
        if (!ids) continue;
        size_t start = 0;
        while (start < ids->size()) {
            size_t end = ids->find(';', start);
            if (end == std::string::npos) end = ids->size();
            const std::string id(Trim(std::string_view(*ids).substr(start, end - start)));
            start = end + 1;
            if (!IsPlainDesktopId(id)) continue;
            if (auto entry = FindDesktopEntry(id, dataDirs)) {
                if (auto exec = IniValue(*entry, "Desktop Entry", "Exec"); exec && !exec->empty()) return exec;
            }
        }
    }
    return std::nullopt;
}

// The string escapes of desktop files (\s \n \t \r \\); others stay as written.
std::string Unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        switch (s[++i]) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            default: out += '\\'; out += s[i]; break;
        }
    }
    return out;
}

// An Exec line's arguments: separated by blanks, double quotes group, and in
// them a backslash escapes the next character.
std::vector<std::string> SplitExec(std::string_view command) {
    std::vector<std::string> args;
    std::string current;
    bool inArg = false, quoted = false;
    for (size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (quoted) {
            if (c == '"') quoted = false;
            else if (c == '\\' && i + 1 < command.size()) current += command[++i];
            else current += c;
        } else if (c == '"') {
            quoted = inArg = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inArg) args.push_back(std::move(current));
            current.clear();
            inArg = false;
        } else {
            current += c;
            inArg = true;
        }
    }
    if (inArg && !quoted) args.push_back(std::move(current));
    return args;
}

// Where the target goes: the first of the placeholders, quoted or bare.
size_t PlaceholderPosition(std::string_view command) {
    size_t best = std::string_view::npos;
    for (const char code : {'u', 'U', 'f', 'F'}) {
        const std::string quoted = std::string("\"%") + code + '"';
        const std::string bare = std::string("%") + code;
        size_t at = command.find(quoted);
        if (at == std::string_view::npos) at = command.find(bare);
        if (at < best) best = at;
    }
    return best;
}

}  // namespace

std::vector<std::string> DefaultBrowserCommand(std::u16string_view target) {
    const auto exec = DefaultBrowserExec();
    if (!exec) return {};
    std::string command = Unescape(*exec);
    if (const size_t at = PlaceholderPosition(command); at != std::string::npos) command.resize(at);
    const size_t units = Utf8ToUtf16(command).size() + 1 + target.size();
    if (units >= kCommandUnits) {
        ZTRACE("browser command of %zu units is too long\n", units);
        return {};
    }
    std::vector<std::string> args = SplitExec(command);
    if (args.empty()) return {};
    // The target is one argument whatever it contains: no blank in it can
    // start another argument, no quote can end one.
    args.push_back(Utf16ToUtf8(target));
    return args;
}

}  // namespace platform::posix
