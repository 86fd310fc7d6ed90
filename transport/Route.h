#pragma once
// The internet route as the transport sees it. The transport owns the LAN
// route itself; the internet route (internet/) is optional and reaches the
// transport only through this interface and the factory below, so a build
// without it (ZELT_INTERNET_ROUTE=OFF) links none of its libraries.
//
// Threads: Start, Stop and FinishTeardowns run on the thread that starts and
// shuts down the transport; Connect on any viewer's thread, several at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "transport/DeviceSide.h"
#include "transport/InitString.h"

namespace pppp {

class IRoute {
public:
    virtual ~IRoute() = default;
    // Starts the broker connection and, for a device's account, answering calls.
    virtual bool Start() = 0;
    // Ends every attempt and the broker connection; Connect calls still running give up.
    virtual void Stop() = 0;
    // Once the sessions are closed: waits until the route's connections are torn down.
    virtual void FinishTeardowns() = 0;
    // How long a viewer's Connect gives the LAN route before this one; none
    // when this process's account is a device's (it can only be called).
    virtual std::optional<uint32_t> ViewerLanWaitMs() const = 0;
    // Viewer: a session with `did` over the route by `deadlineMs` (NowMs):
    // a handle, or -6 not found, -7 refused, -3 time-out, -10 too many.
    virtual int Connect(const std::string& did, uint64_t deadlineMs) = 0;
};

// Makes the route for one transport, once its session table and device side exist.
using RouteMaker = std::function<std::unique_ptr<IRoute>(const CConfig& config, ISessionHost& host,
                                                         IDeviceSide& devices)>;

enum class RouteSetup {
    Off,         // no rendezvous file: the LAN route only
    Configured,  // *maker makes the route; *path names the rendezvous file
    Unusable,    // *problem is one line naming the file (never a value from it: it holds secrets)
};

// Reads this process's rendezvous file, if one is configured, for the internet
// route of this build. Defined by internet/ when the route is built, and by
// NoInternetRoute.cpp when it is not (then a configured file is Unusable).
RouteSetup SetUpInternetRoute(RouteMaker* maker, std::string* path, std::string* problem);

}  // namespace pppp
