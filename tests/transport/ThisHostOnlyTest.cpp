// A process configured for this host only serves this host only, even when
// its listen asks to be reachable from the network (as the service's does):
// the machine's other addresses reach neither its sessions nor its discovery.
//
// The test needs a machine with a second address, and must not touch the real
// one: a child process makes a network namespace of its own (loopback and one
// virtual interface with a private address), runs the device there and tries
// to reach it through that address. Where namespaces are not permitted, the
// test is skipped.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/transport/TransportFixture.h"

extern char** environ;

namespace {

using namespace transporttest;

constexpr int kSkip = 77;
constexpr const char* kOtherAddress = "10.213.0.1";
constexpr const char* kOtherBroadcast = "10.213.0.255";

bool WriteFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// A network namespace of this process's own; as root directly, otherwise
// inside a user namespace that maps this user to root.
bool EnterOwnNetwork(std::string* why) {
    if (::unshare(CLONE_NEWNET) == 0) return true;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        *why = std::string("network namespaces are not permitted here: ") + std::strerror(errno);
        return false;
    }
    WriteFile("/proc/self/setgroups", "deny");
    if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        *why = "cannot map the user into a user namespace";
        return false;
    }
    return true;
}

// Runs `ip` with the arguments; true when it succeeded.
bool Ip(const std::vector<std::string>& args) {
    std::vector<std::string> copy = {"ip"};
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Loopback up, and a second interface carrying the machine's "other" address.
bool MakeNetwork(std::string* why) {
    if (!Ip({"link", "set", "lo", "up"})) {
        *why = "cannot run `ip link set lo up` (is iproute2 installed?)";
        return false;
    }
    // A dummy interface where the kernel has them, a pair of virtual ethernets otherwise.
    if (!Ip({"link", "add", "zt0", "type", "dummy"})) {
        if (!Ip({"link", "add", "zt0", "type", "veth", "peer", "name", "zt1"}) || !Ip({"link", "set", "zt1", "up"})) {
            *why = "cannot make a virtual interface in the namespace";
            return false;
        }
    }
    if (!Ip({"addr", "add", std::string(kOtherAddress) + "/24", "dev", "zt0"}) || !Ip({"link", "set", "zt0", "up"})) {
        *why = "cannot give the virtual interface its address";
        return false;
    }
    return true;
}

sockaddr_in Address(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A discovery query for `did` sent from `from` to `to`; the answer's flags
// byte, or -1 when no answer came within timeoutMs.
int Ask(const std::string& did, const char* from, const char* to, unsigned timeoutMs) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    const sockaddr_in local = Address(from, 0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    // "ZLTD", version 1, Query, nonce, port 0, flags 0, DID length, DID.
    std::vector<uint8_t> query = {'Z', 'L', 'T', 'D', 1, 1, 0x11, 0x22, 0x33, 0x44, 0, 0, 0,
                                  static_cast<uint8_t>(did.size())};
    query.insert(query.end(), did.begin(), did.end());
    const sockaddr_in target = Address(to, kDiscoveryPort);
    ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    int flags = -1;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeoutMs)) > 0) {
        uint8_t answer[128];
        const ssize_t n = ::recv(fd, answer, sizeof answer, MSG_DONTWAIT);
        if (n >= 14 && answer[5] == 2) flags = answer[12];
    }
    ::close(fd);
    return flags;
}

// In the namespace: the device and every way of reaching it. "" when all is as it must be.
std::string CheckInsideNamespace() {
    PPPP_InitOptions o = TestOptions();
    o.flags |= PPPP_INIT_LOOPBACK_ONLY;
    char init[PPPP_INIT_STRING_LENGTH + 1];
    PPPP_MakeInitString(&o, init, sizeof init);
    ::unsetenv(PPPP_INIT_ENV_VARIABLE);
    if (PPPP_Initialize(init) != PPPP_OK) return "the transport does not start";
    std::string failure;
    const std::string did = UniqueDid("HOST");
    auto listen = ListenAsync(did, 10, 1);  // asks to be reachable from the network
    const int v = PPPP_Connect(did.c_str(), 5000);
    const int d = listen.get();
    PPPP_SessionRecord record{};
    if (v <= 0 || d <= 0 || PPPP_Check(v, &record) != PPPP_OK) {
        failure = "a viewer of this host cannot reach the device";
    } else {
        const uint16_t port = static_cast<uint16_t>(record.bytes[PPPP_REC_REMOTE_PORT] |
                                                    (record.bytes[PPPP_REC_REMOTE_PORT + 1] << 8));
        const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in other = Address(kOtherAddress, port);
        const bool reached = ::connect(tcp, reinterpret_cast<const sockaddr*>(&other), sizeof other) == 0;
        ::close(tcp);
        const int here = Ask(did, "127.0.0.1", "127.255.255.255", 5000);
        if (reached) {
            failure = "the session port answers on the machine's other address";
        } else if (here < 0) {
            failure = "discovery does not answer on loopback";
        } else if (here & 1) {
            failure = "the device says it is reachable from other hosts";
        } else if (Ask(did, kOtherAddress, kOtherAddress, 1000) >= 0 ||
                   Ask(did, kOtherAddress, kOtherBroadcast, 1000) >= 0 ||
                   Ask(did, "127.0.0.1", kOtherAddress, 1000) >= 0) {
            // The loopback query was answered at once; these had many times as long.
            failure = "discovery answers on the machine's other address";
        }
    }
    PPPP_DeInitialize();
    return failure;
}

TEST(ThisHostOnly, TheMachinesOtherAddressReachesNeitherSessionsNorDiscovery) {
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Nothing of the test runs yet: this process has one thread, and the child may do anything.
        ::close(out[0]);
        std::string message;
        int code = kSkip;
        if (EnterOwnNetwork(&message) && MakeNetwork(&message)) {
            message = CheckInsideNamespace();
            code = message.empty() ? 0 : 1;
        }
        [[maybe_unused]] const ssize_t n = ::write(out[1], message.data(), message.size());
        ::_exit(code);
    }
    ::close(out[1]);
    std::string message;
    char chunk[256];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) message.append(chunk, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child in the namespace died";
    if (WEXITSTATUS(status) == kSkip) GTEST_SKIP() << message;
    EXPECT_EQ(WEXITSTATUS(status), 0) << message;
}

}  // namespace
