#include "transport/client/PpppSetup.h"

#include <cstdlib>

#include "transport/PPPP_API.h"

namespace pppp {

bool InitPppp(bool thisHostOnly, std::string& error) {
    PPPP_InitOptions options{};
    if (thisHostOnly) options.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
    char init[PPPP_INIT_STRING_LENGTH + 1];
    if (PPPP_MakeInitString(&options, init, sizeof init) != PPPP_INIT_STRING_LENGTH) {
        error = "Cannot make the transport's configuration.";
        return false;
    }
    const int r = PPPP_Initialize(init);
    if (r >= 0) {
        PPPP_Share_Bandwidth(1);
        return true;
    }
    if (std::getenv(PPPP_INIT_ENV_VARIABLE)) {
        error = "The transport refuses the configuration in " PPPP_INIT_ENV_VARIABLE " (error " + std::to_string(r) + ").";
    } else {
        error = "The transport cannot start (error " + std::to_string(r) + ").";
    }
    return false;
}

void DeInitPppp() { PPPP_DeInitialize(); }

}  // namespace pppp
