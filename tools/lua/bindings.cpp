#include "lua/bindings.h"

namespace tolvanex::sim {

void open_bindings(lua_State *L) {
    open_driver(L);
    open_registry(L);
    open_ras(L);
    open_wan(L);
    open_time(L);
    open_faults(L);
    open_isdn(L);
    open_exchange(L);
    open_ndis(L);
    open_expect(L);
    open_tun(L);
    open_isdn_raw(L);
}

} // namespace tolvanex::sim
