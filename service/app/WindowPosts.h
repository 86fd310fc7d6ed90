#pragma once
// CWindowPosts: the work other threads hand to a window's thread, the same
// whatever toolkit draws the window. The work waits under a lock of its own
// (one the thread checker sees, whatever the toolkit locks inside); one
// wake-up of the window's thread stands for everything posted until it
// runs, so a busy sender never floods the window's message queue; work still
// waiting when the window goes is dropped, never run.
//
// Threads: Post on any thread; RunPosted and Close on the window's thread.

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace app {

class CWindowPosts {
public:
    // `wake` asks the toolkit to call RunPosted on the window's thread soon,
    // without waiting; false when it could not (a full message queue), and
    // the next Post asks again. It is called under the lock: it must not Post.
    explicit CWindowPosts(std::function<bool()> wake) : m_wake(std::move(wake)) {}
    CWindowPosts(const CWindowPosts&) = delete;
    CWindowPosts& operator=(const CWindowPosts&) = delete;

    // Work for the window's thread; dropped once the window has gone.
    void Post(std::function<void()> work);
    // Runs what was posted until now, in order; what is posted meanwhile
    // waits for the next wake-up. Stops when the window goes (Close) in the
    // middle: the rest is dropped.
    void RunPosted();
    // The window is going: what waits is dropped, and so is all work posted
    // later. The dropped work is destroyed outside the lock.
    void Close();

private:
    const std::function<bool()> m_wake;
    std::mutex m_lock;
    std::vector<std::function<void()>> m_waiting;
    bool m_bWakePending = false;
    std::atomic<bool> m_bClosed{false};
};

}  // namespace app
