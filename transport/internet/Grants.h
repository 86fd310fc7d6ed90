#pragma once
// Which viewer accounts a device answers on the internet route. The broker's
// rights already keep other accounts from its inbox; the device checks again,
// so a broker whose rights are too wide still reaches no camera, and only a
// granted viewer is handed TURN credentials.
//
// The list is the `viewers` line of the device's rendezvous file. The file is
// read again when it changes (looked at once a second at most), so a grant or
// a revocation takes effect without restarting the device; a file that has
// become unusable grants nobody until it is mended. A file without the line
// answers any viewer the broker lets call, and hands none of them TURN
// credentials: a relay is then only the device's own.
//
// Threads: one caller (the route's thread).

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <set>
#include <string>

#include "transport/internet/Config.h"

namespace pppp {

class CGrants {
public:
    enum class Verdict { Granted, Open, Denied };
    static constexpr uint64_t kRecheckMs = 1000;

    explicit CGrants(const CRendezvousConfig& config);
    Verdict Check(const std::string& viewer, uint64_t nowMs);

private:
    void Take(const CRendezvousConfig& config);
    void ReloadIfChanged();

    const std::string m_strPath;  // empty: never read again
    std::optional<std::set<std::string>> m_viewers;
    uint64_t m_checkedMs = 0;
    bool m_bChecked = false;
    timespec m_mtime{};
    off_t m_size = -1;
    ino_t m_inode = 0;
};

}  // namespace pppp
