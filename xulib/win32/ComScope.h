#pragma once
// COM on the calling thread for the length of one library call. The library
// is called from whatever thread its user has; a thread that has not joined
// COM joins the multithreaded apartment for the call, and one that already
// lives in an apartment of its own is used as it is. The apartment itself is
// kept alive for the process once a camera is bound, so that the filters the
// library holds between calls stay usable from any thread.

#include <windows.h>
#include <objbase.h>

namespace nodrik {

class CComScope {
public:
    CComScope();
    ~CComScope();
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;

    // Whether COM can be used on this thread now.
    bool IsUsable() const { return m_bUsable; }

private:
    bool m_bUsable = false;
    bool m_bJoined = false;  // this scope joined the thread to COM and leaves it again
};

}  // namespace nodrik
