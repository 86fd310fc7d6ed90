#include "transport/internet/TurnTlsTunnel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Trace.h"

namespace pppp {
namespace {

constexpr int kConnectLimitMs = 5000;    // TCP connect and TLS handshake, each
constexpr size_t kChunk = 16 * 1024;

struct Carried {
    std::thread thread;
    std::atomic<bool> done{false};
};

struct Tunnel {
    std::string host;
    uint16_t port = 0;
    std::string ca;
    int listenFd = -1;
    uint16_t localPort = 0;
    int stopFd = -1;  // the tunnels' shared stop signal
    SSL_CTX* ctx = nullptr;
    std::thread acceptor;
};

bool IsAddress(const std::string& host) {
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

// Waits for `events` on fd or the stop signal; false on stop, error or time-out.
bool WaitFor(int fd, short events, int stopFd, int limitMs) {
    pollfd p[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    const int n = ::poll(p, 2, limitMs);
    return n > 0 && !(p[1].revents & POLLIN) && (p[0].revents & (events | POLLERR | POLLHUP));
}

int ConnectTo(const std::string& host, uint16_t port, int stopFd) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) return -1;
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) continue;
        int err = 0;
        socklen_t len = sizeof err;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
            (errno == EINPROGRESS && WaitFor(fd, POLLOUT, stopFd, kConnectLimitMs) &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0))
            break;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// Runs an SSL call on a non-blocking socket until it completes; false on failure or stop.
template <typename Fn>
bool Drive(SSL* ssl, int fd, int stopFd, int limitMs, Fn fn, int* result) {
    for (;;) {
        const int r = fn();
        if (r > 0) {
            *result = r;
            return true;
        }
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ) {
            if (!WaitFor(fd, POLLIN, stopFd, limitMs)) return false;
        } else if (e == SSL_ERROR_WANT_WRITE) {
            if (!WaitFor(fd, POLLOUT, stopFd, limitMs)) return false;
        } else {
            return false;
        }
    }
}

bool WriteAll(int fd, const uint8_t* p, size_t n, int stopFd) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, stopFd, -1)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// One connection from libnice, carried to the server over TLS until either side ends it.
void Carry(const Tunnel& t, int local, int stopFd) {
    const int remote = ConnectTo(t.host, t.port, stopFd);
    SSL* ssl = remote >= 0 ? SSL_new(t.ctx) : nullptr;
    bool ok = ssl != nullptr;
    if (ok) {
        SSL_set_fd(ssl, remote);
        if (IsAddress(t.host)) {
            ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), t.host.c_str()) == 1;
        } else {
            ok = SSL_set_tlsext_host_name(ssl, t.host.c_str()) == 1 && SSL_set1_host(ssl, t.host.c_str()) == 1;
        }
        int r = 0;
        ok = ok && Drive(ssl, remote, stopFd, kConnectLimitMs, [&] { return SSL_connect(ssl); }, &r) &&
             SSL_get_verify_result(ssl) == X509_V_OK;
        if (!ok)
            ZTRACE("internet route: TLS to the TURN server %s:%u failed (%s)\n", t.host.c_str(), t.port,
                   X509_verify_cert_error_string(SSL_get_verify_result(ssl)));
    } else {
        ZTRACE("internet route: the TURN server %s:%u does not accept a connection\n", t.host.c_str(), t.port);
    }
    ::fcntl(local, F_SETFL, ::fcntl(local, F_GETFL) | O_NONBLOCK);
    uint8_t buffer[kChunk];
    while (ok) {
        pollfd p[3] = {{local, POLLIN, 0}, {remote, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const bool pending = SSL_pending(ssl) > 0;
        if (!pending && ::poll(p, 3, -1) < 0 && errno != EINTR) break;
        if (p[2].revents & POLLIN) break;
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(local, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            int written = 0;
            if (n > 0 && !Drive(ssl, remote, stopFd, -1,
                                [&] { return SSL_write(ssl, buffer, static_cast<int>(n)); }, &written))
                break;
        }
        if (pending || (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n > 0) {
                if (!WriteAll(local, buffer, static_cast<size_t>(n), stopFd)) break;
            } else {
                const int e = SSL_get_error(ssl, n);
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
            }
        }
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    if (remote >= 0) ::close(remote);
    ::close(local);
    ERR_clear_error();
}

class CTunnels {
public:
    ~CTunnels() { StopAll(); }

    uint16_t PortFor(const std::string& host, uint16_t port, const std::string& ca) {
        std::lock_guard<std::mutex> hold(m_lock);
        for (const auto& t : m_tunnels)
            if (t->host == host && t->port == port && t->ca == ca) return t->localPort;
        if (m_nStopFd < 0) m_nStopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_nStopFd < 0) return 0;
        auto t = std::make_unique<Tunnel>();
        t->host = host;
        t->port = port;
        t->ca = ca;
        t->stopFd = m_nStopFd;
        t->ctx = SSL_CTX_new(TLS_client_method());
        if (!t->ctx) return 0;
        SSL_CTX_set_min_proto_version(t->ctx, TLS1_2_VERSION);
        SSL_CTX_set_verify(t->ctx, SSL_VERIFY_PEER, nullptr);
        const bool trusted = ca.empty() ? SSL_CTX_set_default_verify_paths(t->ctx) == 1
                                        : SSL_CTX_load_verify_locations(t->ctx, ca.c_str(), nullptr) == 1;
        t->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (!trusted || t->listenFd < 0 || ::bind(t->listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(t->listenFd, 16) != 0 || ::getsockname(t->listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ZTRACE("internet route: no TLS tunnel to the TURN server %s:%u%s\n", host.c_str(), port,
                   trusted ? "" : " (its CA cannot be read)");
            if (t->listenFd >= 0) ::close(t->listenFd);
            SSL_CTX_free(t->ctx);
            ERR_clear_error();
            return 0;
        }
        t->localPort = ntohs(a.sin_port);
        Tunnel* raw = t.get();
        t->acceptor = std::thread([this, raw] { Accept(*raw); });
        m_tunnels.push_back(std::move(t));
        return raw->localPort;
    }

    void StopAll() {
        std::list<std::unique_ptr<Tunnel>> tunnels;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            tunnels.swap(m_tunnels);
            if (m_nStopFd >= 0) {
                const uint64_t one = 1;
                (void)!::write(m_nStopFd, &one, sizeof one);
            }
        }
        for (auto& t : tunnels) {
            if (t->acceptor.joinable()) t->acceptor.join();
        }
        // The acceptors are gone, so no connection is added any more.
        std::list<std::unique_ptr<Carried>> carried;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            carried.swap(m_carried);
        }
        for (auto& c : carried) c->thread.join();
        for (auto& t : tunnels) {
            ::close(t->listenFd);
            SSL_CTX_free(t->ctx);
        }
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_nStopFd >= 0) ::close(m_nStopFd);
        m_nStopFd = -1;
    }

private:
    void Accept(const Tunnel& t) {
        const int stopFd = t.stopFd;
        for (;;) {
            if (!WaitFor(t.listenFd, POLLIN, stopFd, -1)) {
                // The stop signal stays readable for every tunnel and connection.
                pollfd p{stopFd, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) return;
                continue;
            }
            const int local = ::accept4(t.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (local < 0) continue;
            auto c = std::make_unique<Carried>();
            Carried* raw = c.get();
            std::lock_guard<std::mutex> hold(m_lock);
            // Finished connections are let go here, so that they never pile up.
            for (auto it = m_carried.begin(); it != m_carried.end();) {
                if ((*it)->done.load()) {
                    (*it)->thread.join();
                    it = m_carried.erase(it);
                } else {
                    ++it;
                }
            }
            c->thread = std::thread([&t, local, stopFd, raw] {
                Carry(t, local, stopFd);
                raw->done = true;
            });
            m_carried.push_back(std::move(c));
        }
    }

    std::mutex m_lock;
    std::list<std::unique_ptr<Tunnel>> m_tunnels;
    std::list<std::unique_ptr<Carried>> m_carried;
    int m_nStopFd = -1;
};

CTunnels& Tunnels() {
    static CTunnels tunnels;
    return tunnels;
}

}  // namespace

uint16_t TurnTlsTunnelPort(const std::string& host, uint16_t port, const std::string& caFile) {
    return Tunnels().PortFor(host, port, caFile);
}

void StopTurnTlsTunnels() { Tunnels().StopAll(); }

}  // namespace pppp
