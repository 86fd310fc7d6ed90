#pragma once
// How many TURN allocations this process holds per TURN account, so that an
// attempt does not ask for one the server would refuse.
//
// Why it matters: the TURN server refuses allocations past a quota per account
// (deploy/coturn: user-quota), and counts an allocation over UDP a little while
// after it was released; one over TCP or TLS goes with its connection, which
// the release closes (in the NAT lab, with the server's quota set to this
// budget, a viewer relaying over TCP and TLS opened 10 sessions of 10 in a row).
// A refused allocation over UDP costs more than the relay: libnice checks each
// STUN answer on a socket that has a TURN/UDP allocation on it against that
// allocation first and drops the STUN server's answer, so the attempt learns no
// public address from STUN (TurnUdpProbe.h) and two cone NATs find no direct
// path. One account making sessions in quick succession (a viewer opening one
// after another, a device answering it) would meet the quota and lose the
// direct path now and then.
//
// So each attempt takes its allocations from the account's budget here, and an
// attempt whose account has kAllocationsPerAccount out (or over UDP given back
// less than kReturnedCountsFor ago) asks for no relay: it gathers its public
// address from STUN, and where the NATs need a relay the other side's serves.
//
// Other processes of the account are not counted here (nor allocations of one
// that was killed, which the server keeps until their lifetime ends). An
// attempt whose allocation over UDP the server refused is noted, and for
// kRefusedFor the account's attempts relay over TCP and TLS only, where a
// refusal costs nothing else.

#include <chrono>
#include <cstddef>
#include <string>

namespace pppp {

constexpr size_t kAllocationsPerAccount = 4;  // below the deployed quota of 6
constexpr auto kReturnedCountsFor = std::chrono::milliseconds(2000);
constexpr auto kRefusedFor = std::chrono::seconds(60);

// The account a TURN credential is for: "<expiry>:<name>" is counted by <name>.
std::string TurnAccount(const std::string& user);

// Takes `count` allocations of `account` when they fit in its budget.
bool TakeTurnAllocations(const std::string& account, size_t count);
// Gives them back once released; the `overUdp` of them count on for
// kReturnedCountsFor, those over TCP and TLS no longer.
void ReturnTurnAllocations(const std::string& account, size_t count, size_t overUdp);

// The server refused an allocation over UDP for `account`; whether it did lately.
void NoteTurnUdpRefused(const std::string& account);
bool TurnUdpRefusedLately(const std::string& account);

}  // namespace pppp
