#pragma once
// CWorkQueue: one thread that runs work in the order it was posted, and one
// piece of repeating work on a period. Time is the platform's tick count, so
// a test that installs its own clock moves the period on without waiting.
//
// Threads: Post, RunAndWait, Flush, StartRepeating and StopRepeating on any
// thread, except that RunAndWait and Flush must not be called by the work
// itself (it would wait for itself). Close on the owner's thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/Thread.h"

namespace app {

class CWorkQueue {
public:
    // Starts the thread; false from Started() when the system has none to spare.
    CWorkQueue();
    // Close.
    ~CWorkQueue();
    CWorkQueue(const CWorkQueue&) = delete;
    CWorkQueue& operator=(const CWorkQueue&) = delete;

    bool Started() const { return m_bStarted; }

    // Runs `work` soon, after everything posted before it. Work posted after
    // Close is dropped.
    void Post(std::function<void()> work);
    // Runs `work` on the queue's thread and returns when it has run (at once,
    // without running it, when the queue is closed).
    void RunAndWait(const std::function<void()>& work);
    // Returns once everything posted before it, and the repeating work due
    // by the clock's time of the call, has run.
    void Flush();

    // Runs `work` every `periodMs`, the first time one period from now, until
    // StopRepeating. While a repeating work is set, starting again changes
    // nothing. After StopRepeating returns, the work is not started again
    // (a run under way finishes).
    void StartRepeating(uint32_t periodMs, std::function<void()> work);
    void StopRepeating();
    bool IsRepeating() const;

    // Runs what was posted so far, then ends the thread.
    void Close();

private:
    static void ThreadRun(void* queue);
    void Run();

    // The longest real wait while repeating work is set: the clock may be a
    // test's, which moves without real time passing.
    static constexpr uint32_t kLongestWaitMs = 100;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_posted;
    std::function<void()> m_repeating;
    uint32_t m_dwPeriodMs = 0;
    uint32_t m_dwDue = 0;
    bool m_bClosing = false;
    bool m_bStarted = false;
    platform::CThread m_thread;
};

}  // namespace app
