// bench_rendezvous_load: how many sessions the rendezvous servers hold. Opens
// clients one after another until one is refused or the ceiling is reached,
// holds them all for a moment, and prints what it reached, one "key value" a
// line, for bench/internet/run to gather.
//
//   bench_rendezvous_load turn HOST PORT COUNT
//       TURN allocations over UDP, each with its own short-lived username made
//       from the secret in $ZELT2_BENCH_TURN_SECRET (as devices and viewers do)
//   bench_rendezvous_load mqtt HOST PORT COUNT PREFIX CAFILE
//       MQTT over TLS as accounts PREFIX0, PREFIX1, ... (password in
//       $ZELT2_BENCH_MQTT_PASSWORD), each subscribed to its viewer inbox
//
// Secrets come from the environment, never the command line. Exit status: 0
// measured (also when a refusal ended it), 2 bad command line or environment.

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Count(const char* text, unsigned long* out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v == 0 || v > 100000) return false;
    *out = v;
    return true;
}

// ---- TURN ----

constexpr uint32_t kMagic = 0x2112A442;
constexpr uint16_t kAllocate = 0x0003, kAllocateOk = 0x0103, kAllocateError = 0x0113;
constexpr uint16_t kAttrUsername = 0x0006, kAttrIntegrity = 0x0008, kAttrErrorCode = 0x0009,
                   kAttrRealm = 0x0014, kAttrNonce = 0x0015, kAttrTransport = 0x0019;

struct StunMessage {
    std::vector<uint8_t> bytes;
    explicit StunMessage(uint16_t type) : bytes(20) {
        bytes[0] = type >> 8;
        bytes[1] = type & 0xFF;
        const uint32_t magic = htonl(kMagic);
        std::memcpy(&bytes[4], &magic, 4);
        RAND_bytes(&bytes[8], 12);
    }
    void SetLength(size_t length) {
        bytes[2] = static_cast<uint8_t>(length >> 8);
        bytes[3] = static_cast<uint8_t>(length);
    }
    void Add(uint16_t type, const void* value, size_t size) {
        const uint8_t head[4] = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                                 static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
        bytes.insert(bytes.end(), head, head + 4);
        const auto* v = static_cast<const uint8_t*>(value);
        bytes.insert(bytes.end(), v, v + size);
        while (bytes.size() % 4) bytes.push_back(0);
        SetLength(bytes.size() - 20);
    }
    void Add(uint16_t type, const std::string& value) { Add(type, value.data(), value.size()); }
    // MESSAGE-INTEGRITY over everything before it, the length counting it.
    void Sign(const uint8_t key[16]) {
        SetLength(bytes.size() - 20 + 24);
        uint8_t mac[20];
        unsigned int macLength = 0;
        HMAC(EVP_sha1(), key, 16, bytes.data(), bytes.size(), mac, &macLength);
        Add(kAttrIntegrity, mac, sizeof mac);
    }
};

struct StunReply {
    uint16_t type = 0;
    int errorCode = 0;
    std::string realm, nonce;
};

// Parses a reply to `request` (same transaction id); false for anything else.
bool ParseReply(const uint8_t* p, size_t n, const StunMessage& request, StunReply& out) {
    if (n < 20 || std::memcmp(p + 4, &request.bytes[4], 16) != 0) return false;
    const size_t length = (p[2] << 8) | p[3];
    if (20 + length > n) return false;
    out.type = static_cast<uint16_t>((p[0] << 8) | p[1]);
    for (size_t at = 20; at + 4 <= 20 + length;) {
        const uint16_t type = static_cast<uint16_t>((p[at] << 8) | p[at + 1]);
        const size_t size = (p[at + 2] << 8) | p[at + 3];
        if (at + 4 + size > 20 + length) return false;
        const char* value = reinterpret_cast<const char*>(p + at + 4);
        if (type == kAttrErrorCode && size >= 4) out.errorCode = (p[at + 6] & 7) * 100 + p[at + 7];
        if (type == kAttrRealm) out.realm.assign(value, size);
        if (type == kAttrNonce) out.nonce.assign(value, size);
        at += 4 + ((size + 3) & ~size_t{3});
    }
    return true;
}

// Sends `request` and waits for its reply (three tries, a second each).
bool Exchange(int fd, const StunMessage& request, StunReply& reply) {
    uint8_t buffer[1500];
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (send(fd, request.bytes.data(), request.bytes.size(), 0) < 0) return false;
        const Clock::time_point start = Clock::now();
        while (SecondsSince(start) < 1.0) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0 && ParseReply(buffer, static_cast<size_t>(n), request, reply)) return true;
        }
    }
    return false;
}

std::string Base64(const uint8_t* data, size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<size_t>(n));
    return out;
}

// One allocation on a socket of its own; 0 when made, else the error code
// (-1 no answer).
int Allocate(int fd, const std::string& secret, unsigned long index) {
    const std::string user = std::to_string(std::time(nullptr) + 3600) + ":load-" + std::to_string(index);
    uint8_t mac[20];
    unsigned int macLength = 0;
    HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const uint8_t*>(user.data()),
         user.size(), mac, &macLength);
    const std::string password = Base64(mac, macLength);
    const uint8_t udp[4] = {17, 0, 0, 0};

    StunMessage first(kAllocate);
    first.Add(kAttrTransport, udp, sizeof udp);
    StunReply challenge;
    if (!Exchange(fd, first, challenge)) return -1;
    if (challenge.type != kAllocateError || challenge.errorCode != 401) return challenge.errorCode;

    const std::string keyText = user + ":" + challenge.realm + ":" + password;
    uint8_t key[16];
    unsigned int keyLength = 0;
    EVP_Digest(keyText.data(), keyText.size(), key, &keyLength, EVP_md5(), nullptr);
    StunMessage second(kAllocate);
    second.Add(kAttrTransport, udp, sizeof udp);
    second.Add(kAttrUsername, user);
    second.Add(kAttrRealm, challenge.realm);
    second.Add(kAttrNonce, challenge.nonce);
    second.Sign(key);
    StunReply reply;
    if (!Exchange(fd, second, reply)) return -1;
    return reply.type == kAllocateOk ? 0 : (reply.errorCode ? reply.errorCode : -2);
}

int Turn(const char* host, const char* port, unsigned long count) {
    const char* secret = std::getenv("ZELT2_BENCH_TURN_SECRET");
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
    if (!secret || !*secret || inet_pton(AF_INET, host, &server.sin_addr) != 1) {
        std::fprintf(stderr, "bench_rendezvous_load: needs an IPv4 HOST and ZELT2_BENCH_TURN_SECRET\n");
        return 2;
    }
    std::vector<int> sockets;
    const Clock::time_point start = Clock::now();
    int refusal = 0;
    for (unsigned long i = 0; i < count; ++i) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            refusal = -3;  // this side ran out of sockets
            break;
        }
        if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            close(fd);
            refusal = -3;
            break;
        }
        sockets.push_back(fd);
        refusal = Allocate(fd, secret, i);
        if (refusal != 0) break;
    }
    const unsigned long made = refusal == 0 ? sockets.size() : sockets.size() - (refusal == -3 ? 0 : 1);
    std::printf("turn_allocations %lu\nturn_ceiling %lu\nturn_seconds %.1f\nturn_stopped_by %s%d\n", made, count,
                SecondsSince(start), refusal == 0 ? "ceiling " : "error ", refusal);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // held while the caller looks at the server
    for (int fd : sockets) close(fd);
    return 0;
}

// ---- MQTT ----

struct MqttClient {
    mosquitto* handle = nullptr;
    std::string user;
    int state = 0;  // 0 waiting, 1 connected, -1 refused
};

void OnConnect(mosquitto* m, void* self, int rc) {
    auto* c = static_cast<MqttClient*>(self);
    c->state = rc == 0 ? 1 : -1;
    if (rc == 0) mosquitto_subscribe(m, nullptr, ("pppp/v/" + c->user + "/+").c_str(), 1);
}

// One turn of a client's network loop, by poll: mosquitto_loop uses select,
// which cannot watch descriptors past 1023, and each client holds three.
void Service(mosquitto* m, int timeoutMs) {
    const int fd = mosquitto_socket(m);
    if (fd < 0) return;
    pollfd p{fd, static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
    if (poll(&p, 1, timeoutMs) > 0) {
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) mosquitto_loop_read(m, 1);
        if (p.revents & POLLOUT) mosquitto_loop_write(m, 1);
    }
    mosquitto_loop_misc(m);
}

int Mqtt(const char* host, const char* port, unsigned long count, const char* prefix, const char* ca) {
    const char* password = std::getenv("ZELT2_BENCH_MQTT_PASSWORD");
    if (!password) {
        std::fprintf(stderr, "bench_rendezvous_load: needs ZELT2_BENCH_MQTT_PASSWORD\n");
        return 2;
    }
    mosquitto_lib_init();
    std::vector<MqttClient> clients(count);
    const Clock::time_point start = Clock::now();
    unsigned long connected = 0;
    std::string stoppedBy = "ceiling";
    for (unsigned long i = 0; i < count; ++i) {
        MqttClient& c = clients[i];
        c.user = std::string(prefix) + std::to_string(i);
        c.handle = mosquitto_new(c.user.c_str(), true, &c);
        if (!c.handle) {
            stoppedBy = "no memory here";
            break;
        }
        mosquitto_connect_callback_set(c.handle, OnConnect);
        mosquitto_username_pw_set(c.handle, c.user.c_str(), password);
        mosquitto_tls_set(c.handle, ca, nullptr, nullptr, nullptr, nullptr);
        const int rc = mosquitto_connect(c.handle, host, std::atoi(port), 60);
        if (rc != MOSQ_ERR_SUCCESS) {
            stoppedBy = std::string("connect: ") + mosquitto_strerror(rc);
            break;
        }
        // Wait for this one's answer (the others need no service within
        // their 60 s keepalive; what reaches them waits in their sockets).
        const Clock::time_point asked = Clock::now();
        while (c.state == 0 && SecondsSince(asked) < 5.0) Service(c.handle, 10);
        if (c.state != 1) {
            stoppedBy = c.state == 0 ? "no answer in 5 s" : "refused";
            break;
        }
        ++connected;
    }
    const double seconds = SecondsSince(start);
    // Still all there a moment later?
    const Clock::time_point hold = Clock::now();
    while (SecondsSince(hold) < 2.0) {
        for (MqttClient& c : clients)
            if (c.handle) Service(c.handle, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    unsigned long still = 0;
    for (MqttClient& c : clients)
        if (c.handle && c.state == 1 && mosquitto_socket(c.handle) >= 0) ++still;
    std::printf("mqtt_connections %lu\nmqtt_ceiling %lu\nmqtt_seconds %.1f\nmqtt_still_connected %lu\n"
                "mqtt_stopped_by %s\n",
                connected, count, seconds, still, stoppedBy.c_str());
    std::fflush(stdout);
    for (MqttClient& c : clients) {
        if (!c.handle) continue;
        mosquitto_disconnect(c.handle);
        mosquitto_destroy(c.handle);
    }
    mosquitto_lib_cleanup();
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_rendezvous_load turn HOST PORT COUNT        (secret in ZELT2_BENCH_TURN_SECRET)\n"
                 "       bench_rendezvous_load mqtt HOST PORT COUNT PREFIX CAFILE"
                 "  (password in ZELT2_BENCH_MQTT_PASSWORD)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long count = 0;
    if (argc == 5 && !std::strcmp(argv[1], "turn") && Count(argv[4], &count)) return Turn(argv[2], argv[3], count);
    if (argc == 7 && !std::strcmp(argv[1], "mqtt") && Count(argv[4], &count))
        return Mqtt(argv[2], argv[3], count, argv[5], argv[6]);
    return Usage();
}
