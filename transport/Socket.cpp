// What is the same on every system; the rest is in posix/ and win32/.

#include "transport/Socket.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace pppp {

bool ResolveAddress(const char* text, sockaddr_in* address) {
    if (!text || !address) return false;
    const char* colon = std::strrchr(text, ':');
    if (!colon || colon == text || colon[1] == '\0') return false;
    const std::string host(text, colon);
    char* end = nullptr;
    const unsigned long port = std::strtoul(colon + 1, &end, 10);
    if (*end != '\0' || port == 0 || port > 65535) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
        a.sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
        ::freeaddrinfo(result);
    }
    *address = a;
    return true;
}

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool IsLoopback(const sockaddr_in& address) { return (ntohl(address.sin_addr.s_addr) >> 24) == 127; }

}  // namespace pppp
