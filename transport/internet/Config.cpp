#include "transport/internet/Config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "transport/RendezvousFile.h"
#include "transport/Wire.h"

namespace pppp {
namespace {

constexpr size_t kMaxFileBytes = 64 * 1024;

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool ParseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* out) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v < low || v > high) return false;
    *out = v;
    return true;
}

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// host[:port] with a default port; host names and IPv4 addresses only.
bool ParseHostPort(const std::string& text, uint16_t defaultPort, std::string* host, uint16_t* port) {
    const size_t colon = text.find(':');
    const std::string h = text.substr(0, colon);
    if (h.empty() || h.size() > 253) return false;
    for (char c : h)
        if (!IsHostChar(c)) return false;
    uint32_t p = defaultPort;
    if (colon != std::string::npos && !ParseNumber(text.substr(colon + 1), 1, 65535, &p)) return false;
    *host = h;
    *port = static_cast<uint16_t>(p);
    return true;
}

// This computer, whatever names it: "localhost" or a 127.x.y.z address (a
// name that merely starts with "127." is another computer).
bool IsThisComputer(const std::string& host) {
    in_addr a{};
    return host == "localhost" || (::inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

bool StartsWith(const std::string& s, const char* prefix, std::string* rest) {
    const std::string p(prefix);
    if (s.compare(0, p.size(), p) != 0) return false;
    *rest = s.substr(p.size());
    return true;
}

bool ParseTurn(const std::string& value, IceServer* server) {
    std::string rest;
    bool tls;
    if (StartsWith(value, "turns:", &rest))
        tls = true;
    else if (StartsWith(value, "turn:", &rest))
        tls = false;
    else
        return false;
    std::string transport = tls ? "tcp" : "udp";
    const size_t q = rest.find('?');
    if (q != std::string::npos) {
        std::string t;
        if (!StartsWith(rest.substr(q + 1), "transport=", &t)) return false;
        transport = t;
        rest.resize(q);
    }
    if (transport == "udp" && !tls)
        server->kind = IceServer::TurnUdp;
    else if (transport == "tcp")
        server->kind = tls ? IceServer::TurnTls : IceServer::TurnTcp;
    else
        return false;
    return ParseHostPort(rest, tls ? 5349 : 3478, &server->host, &server->port);
}

}  // namespace

bool ParseTurnUrl(const std::string& url, IceServer* server) { return ParseTurn(url, server); }

bool IsValidViewerName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    bool marked = false;
    for (char c : name) {
        if ((c >= 'a' && c <= 'z') || c == '.')
            marked = true;
        else if (!((c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    }
    return marked;
}

bool CRendezvousConfig::IsDevice() const { return IsValidDid(user.c_str()); }

RendezvousLoad ReadRendezvousFile(const std::string& path, CRendezvousConfig* config, std::string* error) {
    auto fail = [&](int line, const std::string& key, const char* what) {
        *error = "rendezvous file " + path;
        if (line > 0) *error += ", line " + std::to_string(line);
        if (!key.empty()) *error += ", key '" + key + "'";
        *error += ": ";
        *error += what;
        return RendezvousLoad::Unusable;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return fail(0, "", errno == ENOENT ? "no such file" : "cannot be opened");
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0;
    const char* problem = "cannot be read";
    if (ok && !S_ISREG(st.st_mode)) ok = false, problem = "is not a regular file";
    if (ok && st.st_uid != ::geteuid()) ok = false, problem = "is not owned by this user";
    if (ok && (st.st_mode & (S_IRWXG | S_IRWXO)))
        ok = false, problem = "holds secrets but other users may read or change it (chmod 600 it)";
    if (ok && st.st_size > static_cast<off_t>(kMaxFileBytes)) ok = false, problem = "is too large";
    if (ok) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) ok = false;
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
            if (text.size() > kMaxFileBytes) {
                ok = false, problem = "is too large";
                break;
            }
        }
    }
    ::close(fd);
    if (!ok) return fail(0, "", problem);

    CRendezvousConfig c;
    c.path = path;
    static const char* const kSingle[] = {"broker",   "broker-ca",     "user",     "password",
                                          "turn-secret", "turn-user", "turn-password", "turn-ttl",
                                          "lan-wait-ms", "viewers", "broker-in-clear"};
    bool seen[sizeof kSingle / sizeof kSingle[0]] = {};
    int lineNo = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return fail(lineNo, "", "not a 'key = value' line");
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        for (char ch : value)
            if (static_cast<unsigned char>(ch) < 0x20) return fail(lineNo, key, "control character in the value");
        for (size_t i = 0; i < sizeof kSingle / sizeof kSingle[0]; ++i) {
            if (key != kSingle[i]) continue;
            if (seen[i]) return fail(lineNo, key, "given twice");
            seen[i] = true;
        }
        if (value.empty() && key != "viewers") return fail(lineNo, key, "empty value");
        uint32_t n = 0;
        std::string rest;
        if (key == "broker") {
            if (StartsWith(value, "mqtts://", &rest))
                c.brokerTls = true;
            else if (!StartsWith(value, "mqtt://", &rest))
                return fail(lineNo, key, "not an mqtt:// or mqtts:// address");
            if (!rest.empty() && rest.back() == '/') rest.pop_back();
            if (!ParseHostPort(rest, c.brokerTls ? 8883 : 1883, &c.brokerHost, &c.brokerPort))
                return fail(lineNo, key, "not a host:port");
        } else if (key == "broker-in-clear") {
            if (value != "yes" && value != "no") return fail(lineNo, key, "not yes or no");
            c.brokerInClear = value == "yes";
        } else if (key == "broker-ca") {
            if (::access(value.c_str(), R_OK) != 0) return fail(lineNo, key, "the file cannot be read");
            c.brokerCa = value;
        } else if (key == "user") {
            if (!IsValidDid(value.c_str()) && !IsValidViewerName(value))
                return fail(lineNo, key, "neither a DID nor a viewer name");
            c.user = value;
        } else if (key == "password") {
            c.password = value;
        } else if (key == "stun") {
            IceServer s;
            if (!StartsWith(value, "stun:", &rest) || !ParseHostPort(rest, 3478, &s.host, &s.port))
                return fail(lineNo, key, "not a stun:host:port address");
            c.servers.push_back(s);
        } else if (key == "turn") {
            IceServer s;
            if (!ParseTurn(value, &s)) return fail(lineNo, key, "not a turn: or turns: address with its transport");
            c.servers.push_back(s);
        } else if (key == "turn-secret") {
            c.turnSecret = value;
        } else if (key == "turn-user") {
            if (value.find(':') != std::string::npos) return fail(lineNo, key, "must not contain ':'");
            c.turnUser = value;
        } else if (key == "turn-password") {
            c.turnPassword = value;
        } else if (key == "turn-ttl") {
            if (!ParseNumber(value, 60, 86400, &n)) return fail(lineNo, key, "not a number of seconds 60-86400");
            c.turnTtlSeconds = n;
        } else if (key == "lan-wait-ms") {
            if (!ParseNumber(value, 0, 10000, &n)) return fail(lineNo, key, "not a number 0-10000");
            c.lanWaitMs = n;
        } else if (key == "viewers") {
            // Names apart by spaces; an empty line grants nobody.
            std::vector<std::string> names;
            size_t at = 0;
            while (at < value.size()) {
                const size_t next = std::min(value.find_first_of(" \t", at), value.size());
                if (next > at) names.push_back(value.substr(at, next - at));
                at = next + 1;
            }
            for (const auto& name : names)
                if (!IsValidViewerName(name)) return fail(lineNo, key, "not a list of viewer names");
            c.viewers = std::move(names);
        } else {
            return fail(lineNo, key, "unknown key");
        }
    }
    if (c.brokerHost.empty()) return fail(0, "broker", "missing");
    if (c.user.empty()) return fail(0, "user", "missing");
    if (c.password.empty()) return fail(0, "password", "missing");
    if (c.viewers && !c.IsDevice()) return fail(0, "viewers", "only a device's file grants viewers");
    if (!c.turnSecret.empty() && (!c.turnUser.empty() || !c.turnPassword.empty()))
        return fail(0, "turn-secret", "give either turn-secret or turn-user and turn-password, not both");
    if (c.turnUser.empty() != c.turnPassword.empty())
        return fail(0, c.turnUser.empty() ? "turn-user" : "turn-password", "missing (the two go together)");
    bool anyTurn = false;
    for (const auto& s : c.servers) anyTurn |= s.kind != IceServer::Stun;
    if (anyTurn && c.turnSecret.empty() && c.turnUser.empty())
        return fail(0, "turn-secret", "missing: TURN servers need turn-secret or turn-user and turn-password");
    if (!c.brokerTls && !c.brokerInClear && !IsThisComputer(c.brokerHost))
        return fail(0, "broker",
                    "mqtt:// would send the password in clear to another computer: use mqtts://, "
                    "or add 'broker-in-clear = yes' on a closed test network");
    *config = std::move(c);
    return RendezvousLoad::Loaded;
}

RendezvousLoad LoadRendezvous(CRendezvousConfig* config, std::string* error) {
    const std::optional<std::string> path = FindRendezvousFile();
    return path ? ReadRendezvousFile(*path, config, error) : RendezvousLoad::Off;
}

}  // namespace pppp
