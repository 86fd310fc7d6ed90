#include "service/app/HyperLink.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>

#include "platform/Text.h"
#include "platform/Trace.h"

namespace app {
namespace {

// The command line the fallback builds has room for this many UTF-16 units
// (and a terminating zero).
constexpr size_t kCommandUnits = 520;
// Desktop files and MIME lists are small; anything longer is not one.
constexpr std::streamsize kMaxConfigBytes = 64 * 1024;

int ResultForErrno(int err) {
    switch (err) {
        case ENOENT: return kErrFileNotFound;
        case ENOTDIR: return kErrPathNotFound;
        case EACCES:
        case EPERM: return kErrAccessDenied;
        case ENOMEM: return kErrNotEnoughMemory;
        case ENOEXEC:
        case ELIBBAD: return kErrBadExecutable;
        default: return kErrOutOfResources;
    }
}

// argv as the exec calls take it; the strings stay owned by `args`.
std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Runs `args` in a grandchild that nobody has to wait for (the middle process
// ends at once, so no zombie stays behind). `reportStatus`: the grandchild is
// watched by a third process that writes its exit status to the pipe.
// Returns the errno of a failed exec (0 when it started) and, with
// reportStatus, the exit status when it came within waitMs.
struct Started {
    int nErrno = 0;
    std::optional<int> nExitStatus;  // empty: still running, or killed
};

Started StartDetached(std::vector<std::string> args, bool reportStatus, uint32_t waitMs) {
    Started result;
    if (args.empty()) {
        result.nErrno = ENOENT;
        return result;
    }
    std::vector<char*> argv = Argv(args);
    int execPipe[2];   // the exec's errno, or EOF when the exec succeeded
    int statusPipe[2]; // one byte: the program's exit status
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        result.nErrno = errno;
        return result;
    }
    if (pipe2(statusPipe, O_CLOEXEC) != 0) {
        result.nErrno = errno;
        close(execPipe[0]);
        close(execPipe[1]);
        return result;
    }
    const pid_t middle = fork();
    if (middle == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        close(execPipe[0]);
        close(statusPipe[0]);
        const pid_t watcher = fork();
        if (watcher != 0) _exit(watcher < 0 ? 1 : 0);
        const pid_t program = fork();
        if (program == 0) {
            close(statusPipe[1]);
            setsid();
            execvp(argv[0], argv.data());
            const int err = errno;
            ssize_t ignored = write(execPipe[1], &err, sizeof err);
            (void)ignored;
            _exit(127);
        }
        close(execPipe[1]);
        if (program < 0) _exit(1);
        if (reportStatus) {
            int status = 0;
            while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
            }
            if (WIFEXITED(status)) {
                const unsigned char code = static_cast<unsigned char>(WEXITSTATUS(status));
                ssize_t ignored = write(statusPipe[1], &code, 1);
                (void)ignored;
            }
        }
        _exit(0);
    }
    close(execPipe[1]);
    close(statusPipe[1]);
    if (middle < 0) {
        result.nErrno = errno;
        close(execPipe[0]);
        close(statusPipe[0]);
        return result;
    }
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t got;
    do {
        got = read(execPipe[0], &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    close(execPipe[0]);
    if (got == static_cast<ssize_t>(sizeof err)) {
        result.nErrno = err;
    } else if (reportStatus) {
        pollfd pfd{statusPipe[0], POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            const int ready = poll(&pfd, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready > 0) {
                unsigned char code = 0;
                if (read(statusPipe[0], &code, 1) == 1) result.nExitStatus = code;
            }
            break;
        }
    }
    close(statusPipe[0]);
    return result;
}

// The opener's verdict as a result code.
int OpenWithOpener(std::string_view target, const UrlOpener& opener) {
    const Started started = StartDetached({opener.strProgram, std::string(target)}, true, opener.dwWaitMs);
    if (started.nErrno != 0) return kErrNoAssociation;  // no opener on this desktop
    if (!started.nExitStatus) return kOpenedOk;         // still busy opening it
    switch (*started.nExitStatus) {
        case 0: return kOpenedOk;
        case 1:
        case 2: return kErrFileNotFound;
        default: return kErrNoAssociation;
    }
}

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
    if (!platform::IsValidUtf8(bytes)) return std::nullopt;
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
    const size_t units = platform::Utf8ToUtf16(command).size() + 1 + target.size();
    if (units >= kCommandUnits) {
        ZTRACE("browser command of %zu units is too long\n", units);
        return {};
    }
    std::vector<std::string> args = SplitExec(command);
    if (args.empty()) return {};
    // The target is one argument whatever it contains: no blank in it can
    // start another argument, no quote can end one.
    args.push_back(platform::Utf16ToUtf8(target));
    return args;
}

int GotoURL(std::u16string_view target, const UrlOpener& opener) {
    const std::string utf8 = platform::Utf16ToUtf8(target);
    const int opened = OpenWithOpener(utf8, opener);
    if (opened > 32) return opened;
    std::vector<std::string> args = DefaultBrowserCommand(target);
    if (args.empty()) return opened;
    const Started started = StartDetached(std::move(args), false, 0);
    if (started.nErrno != 0) return ResultForErrno(started.nErrno);
    return kOpenedOk;
}

std::u16string ReportErrorText(int code) {
    const char* reason = nullptr;
    switch (code) {
        case 0: reason = "The operating system is out\nof memory or resources."; break;
        case 2: reason = "The specified file was not found."; break;
        case 3: reason = "The specified path was not found."; break;
        case 5: reason = "The operating system denied\naccess to the specified file."; break;
        case 8: reason = "There was not enough memory to complete the operation."; break;
        case 11: reason = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."; break;
        case 26: reason = "A sharing violation occurred. "; break;
        case 27: reason = "The filename association is\nincomplete or invalid."; break;
        case 28: reason = "The DDE transaction could not\nbe completed because the request timed out."; break;
        case 29: reason = "The DDE transaction failed."; break;
        case 30:
            reason = "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.";
            break;
        case 31: reason = "There is no application associated\nwith the given filename extension."; break;
        case 32: reason = "The specified dynamic-link library was not found."; break;
        default: break;
    }
    std::string text = "Unable to open hyperlink:\n\n";
    if (reason) {
        text += reason;
    } else {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "Unknown Error (%d) occurred.", code);
        text += buffer;
    }
    return platform::Utf8ToUtf16(text);
}

void CHyperLink::Attach(ILinkView* view) {
    m_pView = view;
    if (!m_pView) return;
    if (m_strURL.empty()) m_strURL = m_pView->GetText();
    if (m_pView->GetText().empty()) SetLinkText(m_strURL);
    PositionWindow();
    m_pView->SetToolTip(m_strURL);
}

void CHyperLink::SetURL(const std::u16string& target) {
    m_strURL = target;
    if (m_pView && m_pView->Exists()) {
        PositionWindow();
        m_pView->SetToolTip(target);
    }
}

void CHyperLink::SetColours(Colour link, Colour visited, int64_t hover) {
    m_crLinkColour = link;
    m_crVisitedColour = visited;
    if (hover == kHighlightColour) {
        m_crHoverColour = m_pView ? m_pView->HighlightColour() : Rgb(0, 120, 215);
    } else {
        m_crHoverColour = static_cast<Colour>(hover);
    }
    if (m_pView && m_pView->Exists()) m_pView->Repaint();
}

void CHyperLink::SetVisited(bool visited) {
    m_bVisited = visited;
    if (m_pView && m_pView->Exists()) m_pView->Repaint();
}

void CHyperLink::SetLinkText(const std::u16string& text) {
    if (!m_pView || !m_pView->Exists()) return;
    m_pView->SetText(text);
    PositionWindow();
}

void CHyperLink::PositionWindow() {
    if (m_pView && m_pView->Exists() && m_bAdjustToFit) m_pView->FitToText();
}

void CHyperLink::SetOver(bool over) {
    if (over == m_bOver) return;
    m_bOver = over;
    if (m_pView && m_pView->Exists()) m_pView->Repaint();
}

Colour CHyperLink::TextColour() const {
    if (m_bOver) return m_crHoverColour;
    return m_bVisited ? m_crVisitedColour : m_crLinkColour;
}

void CHyperLink::OnClicked() {
    m_bOver = false;
    if (!m_bFollowLink) return;
    const int result = GotoURL(m_strURL, m_opener);
    m_bVisited = result > 32;
    if (m_bVisited) {
        if (m_pView) m_pView->Repaint();
        return;
    }
    if (m_pView) m_pView->Beep();
    ReportError(result);
}

void CHyperLink::ReportError(int code) {
    ZTRACE("GotoURL(.)=%d\n", code);
    if (m_pView) m_pView->ShowError(ReportErrorText(code));
}

}  // namespace app
