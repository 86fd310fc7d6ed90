#include "transport/client/PpppTable.h"

namespace pppp {

const PpppTable& RealPppp() {
    static const PpppTable table{
        PPPP_Initialize, PPPP_DeInitialize, PPPP_Listen, PPPP_Listen_Break, PPPP_Check,   PPPP_Read,
        PPPP_Write,      PPPP_Check_Buffer, PPPP_Close,  PPPP_Connect,      PPPP_ConnectTo,
        PPPP_Channel_Binding,
    };
    return table;
}

}  // namespace pppp
