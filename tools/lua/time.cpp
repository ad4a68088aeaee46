// run, settle and now: the script's hold on virtual time.

#include "lua/bindings.h"
#include "lua/support.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

int time_run(lua_State *L) {
    return guarded(L, [&] {
        Ticks duration = arg_seconds(L, 1, "run", "seconds of virtual time");
        host_of(L).run_for(duration);
        if (duration > 0) // run(0) does not renew the loop guard
            state(L).hook_count = 0;
        return 0;
    });
}

int time_settle(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).settle();
        return 0;
    });
}

int time_now(lua_State *L) {
    lua_pushnumber(L, secs(host_of(L).now()));
    return 1;
}

} // namespace

void open_time(lua_State *L) {
    lua_register(L, "run", time_run);
    lua_register(L, "settle", time_settle);
    lua_register(L, "now", time_now);
}

} // namespace tolvanex::sim
