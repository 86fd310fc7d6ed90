// The tunnel that carries TURN over TLS: what reaches the server's TLS port
// is a TLS handshake, and bytes pass only to a server whose certificate the
// rendezvous CA signed for the address the rendezvous names. Real sockets on
// loopback, a real OpenSSL server, certificates made by the openssl tool.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/TempDir.h"
#include "transport/internet/TurnTlsTunnel.h"

namespace {

constexpr int kLimitMs = 10000;

int Listen(uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    *port = ntohs(a.sin_port);
    return fd;
}

int ConnectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Up to `want` bytes, waiting at most kLimitMs; fewer when the peer closed.
std::string ReadSome(int fd, size_t want) {
    std::string got;
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kLimitMs) <= 0) break;
        char buffer[512];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, want - got.size()), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A CA and a server certificate it signed for 127.0.0.1; another CA beside it.
bool MakeCertificates(const testsupport::CTempDir& dir) {
    const std::string d = dir.Path();
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    return Run("openssl req -x509" + key + " -days 2 -subj /CN=test-ca -keyout " + d + "/ca.key -out " + d +
               "/ca.pem") &&
           Run("openssl req -x509" + key + " -days 2 -subj /CN=other-ca -keyout " + d + "/other.key -out " + d +
               "/other.pem") &&
           Run("openssl req" + key + " -subj /CN=turn -keyout " + d + "/server.key -out " + d + "/server.csr") &&
           Run("printf 'subjectAltName=IP:127.0.0.1\\n' >" + d + "/ext && openssl x509 -req -in " + d +
               "/server.csr -CA " + d + "/ca.pem -CAkey " + d + "/ca.key -CAcreateserial -days 2 -extfile " + d +
               "/ext -out " + d + "/server.pem");
}

// A TLS server on loopback that echoes one message per connection.
class CEchoServer {
public:
    explicit CEchoServer(const testsupport::CTempDir& dir) {
        m_pCtx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(m_pCtx, dir.File("server.pem").c_str());
        SSL_CTX_use_PrivateKey_file(m_pCtx, dir.File("server.key").c_str(), SSL_FILETYPE_PEM);
        m_nFd = Listen(&m_nPort);
        m_thread = std::thread([this] {
            for (;;) {
                const int c = ::accept(m_nFd, nullptr, nullptr);
                if (c < 0) return;
                SSL* ssl = SSL_new(m_pCtx);
                SSL_set_fd(ssl, c);
                if (SSL_accept(ssl) == 1) {
                    ++m_nHandshakes;
                    char buffer[64];
                    const int n = SSL_read(ssl, buffer, sizeof buffer);
                    if (n > 0) SSL_write(ssl, buffer, n);
                    SSL_shutdown(ssl);
                }
                SSL_free(ssl);
                ::close(c);
            }
        });
    }
    ~CEchoServer() {
        ::shutdown(m_nFd, SHUT_RDWR);
        m_thread.join();
        ::close(m_nFd);
        SSL_CTX_free(m_pCtx);
    }
    uint16_t Port() const { return m_nPort; }
    int Handshakes() const { return m_nHandshakes.load(); }

private:
    SSL_CTX* m_pCtx = nullptr;
    int m_nFd = -1;
    uint16_t m_nPort = 0;
    std::atomic<int> m_nHandshakes{0};
    std::thread m_thread;
};

TEST(TurnTlsTunnelTest, WhatReachesTheTlsPortIsATlsHandshake) {
    uint16_t serverPort = 0;
    const int server = Listen(&serverPort);
    ASSERT_GE(server, 0);
    const uint16_t tunnel = pppp::TurnTlsTunnelPort("127.0.0.1", serverPort, "");
    ASSERT_NE(tunnel, 0);
    const int client = ConnectLoopback(tunnel);
    ASSERT_GE(client, 0);
    const std::string allocate = "a TURN Allocate in clear";
    ASSERT_EQ(::send(client, allocate.data(), allocate.size(), MSG_NOSIGNAL), static_cast<ssize_t>(allocate.size()));

    pollfd p{server, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kLimitMs), 1);
    const int accepted = ::accept(server, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    const std::string first = ReadSome(accepted, 5);
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(static_cast<uint8_t>(first[0]), 0x16);  // a handshake record ...
    EXPECT_EQ(static_cast<uint8_t>(first[1]), 0x03);  // ... of TLS
    const size_t recordLength = static_cast<uint8_t>(first[3]) << 8 | static_cast<uint8_t>(first[4]);
    const std::string rest = ReadSome(accepted, recordLength);
    EXPECT_EQ(rest.size(), recordLength);
    EXPECT_EQ((first + rest).find("Allocate"), std::string::npos);  // nothing in clear
    ::close(accepted);
    ::close(client);
    ::close(server);
    pppp::StopTurnTlsTunnels();
}

TEST(TurnTlsTunnelTest, CarriesBytesOnlyToAServerTheRendezvousCaVouchesFor) {
    testsupport::CTempDir dir;
    if (!MakeCertificates(dir)) GTEST_SKIP() << "the openssl tool cannot make test certificates here";
    CEchoServer server(dir);

    // Signed by the rendezvous CA for the address named: the bytes go through.
    const uint16_t good = pppp::TurnTlsTunnelPort("127.0.0.1", server.Port(), dir.File("ca.pem"));
    ASSERT_NE(good, 0);
    int client = ConnectLoopback(good);
    ASSERT_GE(client, 0);
    ASSERT_EQ(::send(client, "ping", 4, MSG_NOSIGNAL), 4);
    EXPECT_EQ(ReadSome(client, 4), "ping");
    ::close(client);

    // Checked against another CA: the connection ends and nothing is carried.
    const uint16_t bad = pppp::TurnTlsTunnelPort("127.0.0.1", server.Port(), dir.File("other.pem"));
    ASSERT_NE(bad, 0);
    ASSERT_NE(bad, good);
    client = ConnectLoopback(bad);
    ASSERT_GE(client, 0);
    ::send(client, "ping", 4, MSG_NOSIGNAL);
    EXPECT_EQ(ReadSome(client, 4), "");
    ::close(client);
    EXPECT_EQ(server.Handshakes(), 1);

    // A CA file that cannot be read opens no tunnel.
    EXPECT_EQ(pppp::TurnTlsTunnelPort("127.0.0.1", server.Port(), dir.File("missing.pem")), 0);
    pppp::StopTurnTlsTunnels();
}

}  // namespace
