#include "service/settings/hivefile/HiveLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Trace.h"
#include "service/settings/Registry.h"
#include "service/settings/hivefile/FileIo.h"

namespace settings {

CHiveLock::~CHiveLock() {
    if (m_fd >= 0) ::close(m_fd);
}

long CHiveLock::Acquire(const std::string& dir, const std::string& path) {
    if (!fileio::MakeDirectories(dir)) {
        ZTRACE("cannot create the registry folder %s: %s\n", dir.c_str(), std::strerror(errno));
        return kRegErrIoFailed;
    }
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ZTRACE("cannot open the registry lock %s: %s\n", path.c_str(),
               m_fd < 0 ? std::strerror(errno) : "not a regular file");
        return kRegErrIoFailed;
    }
    m_dwStart = platform::GetTickCount();
    uint32_t pause = 1;
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return kRegErrIoFailed;
        if (long r = Waited(path); r != kRegOk) return r;
        platform::Sleep(pause);
        if (pause < 8) pause *= 2;
    }
    const long taken = TakeTicket();
    ::flock(m_fd, LOCK_UN);
    if (taken != kRegOk) return taken;
    while (EarlierTicketWaits() || !ByteLock(F_OFD_SETLK, kOwnerByte)) {
        if (long r = Waited(path); r != kRegOk) return r;
        platform::Sleep(Pause());
    }
    // Says who is served now, so that those further back poll less often.
    uint8_t raw[8];
    Store(raw, m_nTicket);
    (void)!::pwrite(m_fd, raw, sizeof raw, kServingAt);
    return kRegOk;
}

uint32_t CHiveLock::Pause() const {
    uint8_t raw[8] = {};
    if (::pread(m_fd, raw, sizeof raw, kServingAt) != static_cast<ssize_t>(sizeof raw)) return 1;
    const uint64_t ahead = (m_nTicket + kTickets - Fetch(raw) % kTickets) % kTickets;
    return static_cast<uint32_t>(std::clamp<uint64_t>(ahead, 1, 32));
}

long CHiveLock::Waited(const std::string& path) const {
    if (platform::GetTickCount() - m_dwStart < kHiveLockWaitMs) return kRegOk;
    ZTRACE("registry lock %s held by another process for %u ms; giving up\n", path.c_str(),
           kHiveLockWaitMs);
    return kRegErrBusy;
}

bool CHiveLock::ByteLock(int command, off_t start, off_t length) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    return ::fcntl(m_fd, command, &fl) == 0;
}

long CHiveLock::TakeTicket() {
    uint8_t raw[8] = {};
    if (::pread(m_fd, raw, sizeof raw, kNextAt) < 0) return kRegErrIoFailed;
    uint64_t next = Fetch(raw) % kTickets;
    // A ticket still marked (the file was tampered with) is skipped.
    for (int tries = 0; !ByteLock(F_OFD_SETLK, kSlotBase + static_cast<off_t>(next)); ++tries) {
        if (tries == 64) return kRegErrIoFailed;
        next = (next + 1) % kTickets;
    }
    m_nTicket = next;
    Store(raw, (next + 1) % kTickets);
    if (::pwrite(m_fd, raw, sizeof raw, kNextAt) != static_cast<ssize_t>(sizeof raw)) return kRegErrIoFailed;
    return kRegOk;
}

bool CHiveLock::EarlierTicketWaits() const {
    if (m_nTicket == 0) return false;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kSlotBase;
    fl.l_len = static_cast<off_t>(m_nTicket);
    return ::fcntl(m_fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

}  // namespace settings
