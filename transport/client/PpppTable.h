#pragma once
// The transport as the session server and the viewer reach it: one table of
// the PPPP_* functions. The program binds the real library's functions
// (RealPppp); tests bind their own to inject faults without a network.

#include "transport/PPPP_API.h"

namespace pppp {

struct PpppTable {
    int (*Initialize)(const char* initString);
    int (*DeInitialize)();
    int (*Listen)(const char* did, unsigned int waitSeconds, unsigned int port, char enableRemote);
    int (*Listen_Break)();
    int (*Check)(int session, PPPP_SessionRecord* record);
    int (*Read)(int session, unsigned char channel, char* buffer, int* size, unsigned int timeoutMs);
    int (*Write)(int session, unsigned char channel, const char* buffer, int size);
    int (*Check_Buffer)(int session, unsigned char channel, unsigned int* writePending, unsigned int* readPending);
    int (*Close)(int session);
    int (*Connect)(const char* did, unsigned int timeoutMs);
    int (*ConnectTo)(const char* did, const char* address, unsigned int timeoutMs);
    int (*Channel_Binding)(int session, unsigned char* out, int outSize);
};

// The functions of libpppp (defined in the zelt_pppp_binding library, which
// links it).
const PpppTable& RealPppp();

// True for the results that say a session is gone for good.
inline bool IsSessionGone(int result) {
    return result == PPPP_ERR_CLOSED_BY_PEER || result == PPPP_ERR_CLOSED_TIMEOUT ||
           result == PPPP_ERR_CLOSED_LOCALLY;
}

}  // namespace pppp
