#pragma once
// A joinable thread whose creation reports failure by its result instead of
// throwing, as the rest of the system reports failures.

#include <atomic>
#include <thread>

namespace platform {

class CThread {
public:
    using Entry = void (*)(void* argument);

    CThread() = default;
    // A thread still running is waited for.
    ~CThread() { Join(); }
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts `entry(argument)` on a new thread. False when the system cannot
    // create one, or when this object still holds a thread that was not joined.
    bool Start(Entry entry, void* argument);

    // Waits for the thread to end; nothing when there is none.
    void Join();
    bool Joinable() const { return m_thread.joinable(); }

private:
    std::thread m_thread;
};

// Makes the next `count` thread starts fail as if the system had no thread to
// spare, so that callers' failure paths can be exercised.
void FailThreadStarts(int count);

}  // namespace platform
