#pragma once
// The exclusive lock around a read-modify-write, on a file of its own that
// survives the renames of the hive file, and fair: whoever asks first gets it
// first, so a process that writes in a loop cannot starve the others.
//
// - The file's first 8 bytes hold the next ticket (the next 8 the ticket being
//   served, a hint for how long to wait). A waiter takes a ticket under a
//   brief flock of the file and marks it by locking the byte kSlotBase + ticket.
// - Its turn has come when no earlier ticket's byte is still locked (those
//   waiters are done, gave up, or died) and it can lock the byte kOwnerByte,
//   which the holder keeps while it works. That byte alone keeps writers apart,
//   whatever the file holds; the tickets only set the order.
// The byte locks are open-file-description locks: each lock object has its own,
// and they go when it closes or its process dies.

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace settings {

// How long a change waits for another process's lock before it gives up.
inline constexpr uint32_t kHiveLockWaitMs = 10000;

class CHiveLock {
public:
    CHiveLock() = default;
    // Lets go of the lock (closing the file lets go of its byte locks).
    ~CHiveLock();
    CHiveLock(const CHiveLock&) = delete;
    CHiveLock& operator=(const CHiveLock&) = delete;

    // Waits for the lock on the file `path` in `dir` (created if need be):
    // kRegOk once it is held, kRegErrBusy after kHiveLockWaitMs, else
    // kRegErrIoFailed.
    long Acquire(const std::string& dir, const std::string& path);

private:
    static constexpr off_t kNextAt = 0;      // the next ticket, 8 bytes
    static constexpr off_t kServingAt = 8;   // the holder's ticket, 8 bytes
    static constexpr off_t kOwnerByte = 16;  // locked by the holder
    static constexpr off_t kSlotBase = off_t{1} << 32;
    static constexpr uint64_t kTickets = uint64_t{1} << 40;  // tickets wrap here

    static void Store(uint8_t* raw, uint64_t value) {
        for (int i = 0; i < 8; ++i) raw[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    static uint64_t Fetch(const uint8_t* raw) {
        uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = (value << 8) | raw[i];
        return value;
    }

    // How long to wait before looking again: about a millisecond for each
    // writer still ahead (a write takes a few), at most 32.
    uint32_t Pause() const;
    long Waited(const std::string& path) const;
    bool ByteLock(int command, off_t start, off_t length = 1);
    // Under the flock: takes the next ticket and marks it.
    long TakeTicket();
    bool EarlierTicketWaits() const;

    int m_fd = -1;
    uint32_t m_dwStart = 0;
    uint64_t m_nTicket = 0;
};

}  // namespace settings
