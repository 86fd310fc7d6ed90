#include "service/app/WorkQueue.h"

#include <chrono>

#include "platform/Clock.h"

namespace app {

CWorkQueue::CWorkQueue() { m_bStarted = m_thread.Start(&CWorkQueue::ThreadRun, this); }

CWorkQueue::~CWorkQueue() { Close(); }

void CWorkQueue::ThreadRun(void* queue) { static_cast<CWorkQueue*>(queue)->Run(); }

void CWorkQueue::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bClosing || !m_bStarted) return;
        m_posted.push_back(std::move(work));
    }
    m_changed.notify_all();
}

void CWorkQueue::RunAndWait(const std::function<void()>& work) {
    std::mutex doneLock;
    std::condition_variable doneSignal;
    bool done = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bClosing || !m_bStarted) return;
        m_posted.push_back([&] {
            work();
            std::lock_guard<std::mutex> holdDone(doneLock);
            done = true;
            doneSignal.notify_all();
        });
    }
    m_changed.notify_all();
    std::unique_lock<std::mutex> holdDone(doneLock);
    doneSignal.wait(holdDone, [&] { return done; });
}

void CWorkQueue::Flush() { RunAndWait([] {}); }

void CWorkQueue::StartRepeating(uint32_t periodMs, std::function<void()> work) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_repeating) return;
        m_repeating = std::move(work);
        m_dwPeriodMs = periodMs;
        m_dwDue = platform::GetTickCount() + periodMs;
    }
    m_changed.notify_all();
}

void CWorkQueue::StopRepeating() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_repeating = nullptr;
}

bool CWorkQueue::IsRepeating() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<bool>(m_repeating);
}

void CWorkQueue::Close() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bClosing = true;
        m_repeating = nullptr;
    }
    m_changed.notify_all();
    m_thread.Join();
}

void CWorkQueue::Run() {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        // The time is read under the lock that posts take, so that work
        // posted after the clock moved finds the move seen (Flush relies on it).
        const uint32_t now = platform::GetTickCount();
        std::function<void()> repeating;
        if (m_repeating && static_cast<int32_t>(now - m_dwDue) >= 0) {
            repeating = m_repeating;
            m_dwDue = now + m_dwPeriodMs;
        }
        std::deque<std::function<void()>> posted;
        posted.swap(m_posted);
        if (repeating || !posted.empty()) {
            hold.unlock();
            if (repeating) repeating();
            for (auto& work : posted) work();
            hold.lock();
            continue;
        }
        if (m_bClosing) return;
        if (m_repeating) {
            const uint32_t wait = std::min<uint32_t>(m_dwDue - now, kLongestWaitMs);
            m_changed.wait_for(hold, std::chrono::milliseconds(wait));
        } else {
            m_changed.wait(hold);
        }
    }
}

}  // namespace app
