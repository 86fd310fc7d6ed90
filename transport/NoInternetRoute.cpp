// The internet route in a build without it (ZELT_INTERNET_ROUTE=OFF): a
// rendezvous file asks for a route this library does not have, so it is
// named as unusable rather than silently ignored.

#include "transport/RendezvousFile.h"
#include "transport/Route.h"

// Where a route is missing for a reason of the system, the build names it.
#ifndef PPPP_NO_ROUTE_REASON
#define PPPP_NO_ROUTE_REASON "this build of libpppp has no internet route"
#endif

namespace pppp {

RouteSetup SetUpInternetRoute(RouteMaker* maker, std::string* path, std::string* problem) {
    *maker = nullptr;
    const std::optional<std::string> file = FindRendezvousFile();
    if (!file) return RouteSetup::Off;
    *path = *file;
    *problem = "rendezvous file " + *file + ": " PPPP_NO_ROUTE_REASON;
    return RouteSetup::Unusable;
}

}  // namespace pppp
