#include "Thread.h"

#include <system_error>

namespace platform {
namespace {
std::atomic<int> g_nFailStarts{0};
}  // namespace

void FailThreadStarts(int count) { g_nFailStarts.store(count); }

bool CThread::Start(Entry entry, void* argument) {
    if (m_thread.joinable() || !entry) return false;
    int pending = g_nFailStarts.load();
    while (pending > 0) {
        if (g_nFailStarts.compare_exchange_weak(pending, pending - 1)) return false;
    }
    // The only place where the standard library reports by exception.
    try {
        m_thread = std::thread(entry, argument);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CThread::Join() {
    if (!m_thread.joinable()) return;
    // A thread cannot wait for itself; it is ending anyway.
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
    } else {
        m_thread.join();
    }
}

}  // namespace platform
