#pragma once
// COM on the calling thread for the length of one library call. The library
// is called from whatever thread its user has; a thread that has not joined
// COM joins the multithreaded apartment for the call, and one that already
// lives in an apartment of its own is used as it is. The apartment itself is
// kept alive while the library holds a filter between calls (CApartmentHold),
// so that the filter stays usable, and releasable, from any thread.

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

// One reference on the multithreaded apartment for as long as a filter is
// held. It is given back when the filter goes in an ordinary call; a filter
// that goes while the library is being unloaded keeps it, since the system
// allows no giving back there (the process keeps one reference it no longer
// needs rather than risk a deadlock under the loader's lock).
class CApartmentHold {
public:
    CApartmentHold();
    ~CApartmentHold();
    CApartmentHold(const CApartmentHold&) = delete;
    CApartmentHold& operator=(const CApartmentHold&) = delete;

private:
    CO_MTA_USAGE_COOKIE m_cookie = nullptr;
};

}  // namespace nodrik
