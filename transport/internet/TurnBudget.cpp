#include "transport/internet/TurnBudget.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

namespace pppp {
namespace {

using Clock = std::chrono::steady_clock;

struct Account {
    size_t out = 0;                          // taken, not yet given back
    std::deque<Clock::time_point> returned;  // one entry per allocation given back
    Clock::time_point refused{};             // the last refusal over UDP
};

// Never destroyed: a peer may give its allocations back while the process exits.
std::mutex& Lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<std::string, Account>& Accounts() {
    static auto* accounts = new std::map<std::string, Account>;
    return *accounts;
}

void Forget(Account& a, Clock::time_point now) {
    while (!a.returned.empty() && now - a.returned.front() >= kReturnedCountsFor) a.returned.pop_front();
}

}  // namespace

std::string TurnAccount(const std::string& user) {
    const size_t colon = user.find(':');
    return colon == std::string::npos ? user : user.substr(colon + 1);
}

bool TakeTurnAllocations(const std::string& account, size_t count) {
    std::lock_guard<std::mutex> hold(Lock());
    Account& a = Accounts()[account];
    Forget(a, Clock::now());
    if (a.out + a.returned.size() + count > kAllocationsPerAccount) return false;
    a.out += count;
    return true;
}

void ReturnTurnAllocations(const std::string& account, size_t count, size_t overUdp) {
    std::lock_guard<std::mutex> hold(Lock());
    auto it = Accounts().find(account);
    if (it == Accounts().end()) return;
    Account& a = it->second;
    const auto now = Clock::now();
    Forget(a, now);
    count = std::min(count, a.out);
    a.out -= count;
    a.returned.insert(a.returned.end(), std::min(overUdp, count), now);
    if (a.out == 0 && a.returned.empty() && now - a.refused >= kRefusedFor) Accounts().erase(it);
}

void NoteTurnUdpRefused(const std::string& account) {
    std::lock_guard<std::mutex> hold(Lock());
    Accounts()[account].refused = Clock::now();
}

bool TurnUdpRefusedLately(const std::string& account) {
    std::lock_guard<std::mutex> hold(Lock());
    auto it = Accounts().find(account);
    return it != Accounts().end() && it->second.refused != Clock::time_point{} &&
           Clock::now() - it->second.refused < kRefusedFor;
}

}  // namespace pppp
