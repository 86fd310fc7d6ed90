// The claim on the settings of the per-user hive file: an exclusive flock on
// a file of its own in the hive's folder. The lock belongs to the open file,
// so the system lets it go when the process ends in any way; the file is not
// inherited by programs the service starts (a browser for the link), which
// would otherwise keep the settings claimed after the service is gone.

#include "service/settings/SettingsClaim.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/Trace.h"
#include "service/settings/hivefile/FileIo.h"
#include "service/settings/hivefile/HiveFileRegistry.h"

namespace settings {
namespace {

constexpr char kClaimFileName[] = "ZELT2Service.lock";

}  // namespace

CSettingsClaim::~CSettingsClaim() {
    if (m_nHandle >= 0) ::close(static_cast<int>(m_nHandle));
}

ClaimResult CSettingsClaim::Claim() {
    if (m_nHandle >= 0) return ClaimResult::Claimed;
    const std::string dir = DefaultHiveDirectory();
    if (dir.empty() || !fileio::MakeDirectories(dir)) {
        ZTRACE("the settings cannot be claimed: no folder for them\n");
        return ClaimResult::CannotTell;
    }
    const std::string path = dir + "/" + kClaimFileName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        ZTRACE("the settings cannot be claimed: %s cannot be opened (errno %d)\n", path.c_str(), errno);
        return ClaimResult::CannotTell;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return ClaimResult::HeldElsewhere;
        ZTRACE("the settings cannot be claimed: %s cannot be locked (errno %d)\n", path.c_str(), error);
        return ClaimResult::CannotTell;
    }
    m_nHandle = fd;
    return ClaimResult::Claimed;
}

std::string CSettingsClaim::Where() const { return DefaultHiveDirectory(); }

std::string CSettingsClaim::StateFolder() { return DefaultHiveDirectory(); }

bool CSettingsClaim::HeldByAnyone() {
    const std::string dir = DefaultHiveDirectory();
    if (dir.empty()) return false;
    const std::string path = dir + "/" + kClaimFileName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

}  // namespace settings
