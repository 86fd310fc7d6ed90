#pragma once
// One service at a time on a user's settings: two would both serve the same
// DID, and a viewer would reach only one of them. A claim holds the current
// user's settings (those of DefaultRegistry()) for as long as it lives and
// goes with its process however that ends, a crash included.
//
// Threads: one claim is used by one thread.

#include <cstdint>
#include <string>

namespace settings {

enum class ClaimResult {
    Claimed,        // this process holds the settings now
    HeldElsewhere,  // another process holds them
    CannotTell,     // the claim cannot be made (no place for it); nothing is held
};

class CSettingsClaim {
public:
    CSettingsClaim() = default;
    // Lets the settings go.
    ~CSettingsClaim();
    CSettingsClaim(const CSettingsClaim&) = delete;
    CSettingsClaim& operator=(const CSettingsClaim&) = delete;

    // Claims the current user's settings; never waits. Claiming twice keeps
    // the first claim.
    ClaimResult Claim();
    // Where the settings are, in words a user can act on (a folder here).
    std::string Where() const;
    // Whether a process holds the current user's settings now; asks without
    // claiming them and without creating anything.
    static bool HeldByAnyone();
    // The current user's folder beside the settings where the service keeps
    // files of its own (its status), made when missing; empty when there is
    // none.
    static std::string StateFolder();

private:
    intptr_t m_nHandle = -1;
};

}  // namespace settings
