// Two system threads handing an event back and forth: every round trip is
// two context switches. Shared by the benchmarks that time a switch.
#pragma once

#include "ntkernel.h"

namespace tolvanex::bench {

struct PingPong {
    KEVENT ping, pong;
    bool stop = false;
};

inline VOID NTAPI Ponger(PVOID p) {
    auto *pp = static_cast<PingPong *>(p);
    while (!pp->stop) {
        KeWaitForSingleObject(&pp->ping, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&pp->pong, 0, FALSE);
    }
}

} // namespace tolvanex::bench
