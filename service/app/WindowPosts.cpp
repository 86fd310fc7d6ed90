#include "service/app/WindowPosts.h"

namespace app {

void CWindowPosts::Post(std::function<void()> work) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bClosed) return;
    m_waiting.push_back(std::move(work));
    if (!m_bWakePending) m_bWakePending = m_wake();
}

void CWindowPosts::RunPosted() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        work.swap(m_waiting);
        m_bWakePending = false;
    }
    for (auto& item : work) {
        if (m_bClosed) return;
        item();
    }
}

void CWindowPosts::Close() {
    std::vector<std::function<void()>> dropped;  // destroyed after the lock is let go
    std::lock_guard<std::mutex> hold(m_lock);
    m_bClosed = true;
    dropped.swap(m_waiting);
}

}  // namespace app
