// Puts the link in any communication state from a test, including the
// states only the link's own steps reach (sending, answer awaited, link
// error) and numbers no step uses: the supervision's tables are tested
// state by state. Production code changes the state only through the
// link's operations (sending, Stop, Reopen, the supervision step).
#pragma once

#include "link/core/ClsComm.h"

namespace gascal {

struct LinkStateAccess {
    static void Set(ClsComm& comm, ComState state) { comm.ComStateTo(state); }
};

}  // namespace gascal
