// driver.*: the miniport's life as NDIS leads it (load, initialize, halt, reset)
// and what a script can ask of it (its state, its symbolic links).

#include "host_ndis.h"
#include "host_records.h"
#include "lua/bindings.h"
#include "lua/support.h"
#include "suggest.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

int driver_load(lua_State *L) {
    return guarded(L, [&] {
        if (state(L).driver_loaded)
            throw ScriptError("driver.load: the driver is already loaded");
        state(L).driver_loaded = true;
        lua_pushinteger(L, static_cast<std::uint32_t>(host_of(L).ndis().load(state(L).driver_entry)));
        return 1;
    });
}

int driver_initialize(lua_State *L) {
    return guarded(L, [&] {
        if (!host_of(L).ndis().registered())
            throw ScriptError("driver.initialize: no miniport is registered (load the driver first)");
        if (host_of(L).ndis().initialized() && !host_of(L).ndis().halted())
            throw ScriptError("driver.initialize: the adapter is already initialised");
        // The media NDIS offers, by name or number; the WAN medium alone
        // without a list.
        static const std::vector<std::string> names = {"NdisMedium802_3",   "NdisMedium802_5",    "NdisMediumFddi",
                                                       "NdisMediumWan",     "NdisMediumLocalTalk", "NdisMediumDix",
                                                       "NdisMediumArcnetRaw", "NdisMediumArcnet878_2"};
        std::vector<NDIS_MEDIUM> media = {NdisMediumWan};
        if (!lua_isnoneornil(L, 1)) {
            if (!lua_istable(L, 1))
                throw ScriptError("driver.initialize takes a list of media, not " + type_of(L, 1));
            media.clear();
            lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, 1));
            if (n == 0 || n > 64)
                throw ScriptError("driver.initialize: the list of media holds 1 to 64 media");
            for (lua_Integer i = 1; i <= n; ++i) {
                lua_rawgeti(L, 1, i);
                std::int64_t value = -1;
                if (lua_isinteger(L, -1)) {
                    value = lua_tointeger(L, -1);
                } else if (lua_type(L, -1) == LUA_TSTRING) {
                    std::string name = lua_tostring(L, -1);
                    auto it = std::find(names.begin(), names.end(), name);
                    if (it == names.end())
                        throw ScriptError("driver.initialize: unknown medium '" + name + "'" +
                                          did_you_mean(name, names));
                    value = it - names.begin();
                }
                lua_pop(L, 1);
                if (value < 0 || value > 0xFFFF)
                    throw ScriptError("driver.initialize: medium " + std::to_string(i) +
                                      " should be a name such as NdisMediumWan or a number");
                media.push_back(static_cast<NDIS_MEDIUM>(value));
            }
        }
        UINT selected = 0;
        NDIS_STATUS status = host_of(L).ndis().initialize(media, &selected);
        lua_pushinteger(L, static_cast<std::uint32_t>(status));
        if (status != NDIS_STATUS_SUCCESS)
            return 1;
        lua_pushinteger(L, static_cast<lua_Integer>(selected) + 1);
        return 2;
    });
}

int driver_start(lua_State *L) {
    return guarded(L, [&] {
        if (state(L).driver_loaded)
            throw ScriptError("driver.start: the driver is already loaded");
        state(L).driver_loaded = true;
        NTSTATUS s = host_of(L).ndis().load(state(L).driver_entry);
        if (s != STATUS_SUCCESS)
            throw Failure("driver.start: DriverEntry returned " + hex32(static_cast<std::uint32_t>(s)));
        NDIS_STATUS i = host_of(L).ndis().initialize();
        if (i != NDIS_STATUS_SUCCESS)
            throw Failure("driver.start: initialisation returned " + status_name(i));
        return 0;
    });
}

int driver_halt(lua_State *L) {
    return guarded(L, [&] {
        if (!host_of(L).ndis().initialized() || host_of(L).ndis().halted())
            throw ScriptError("driver.halt: the adapter is not running");
        host_of(L).ndis().halt();
        return 0;
    });
}


int driver_reset(lua_State *L) {
    return running(L, "driver.reset", [&] {
        lua_pushinteger(L, static_cast<std::uint32_t>(host_of(L).ndis().reset()));
        return 1;
    });
}

// The two handlers NDIS has but seldom calls on a WAN miniport.
int driver_reconfigure(lua_State *L) {
    return running(L, "driver.reconfigure", [&] {
        lua_pushinteger(L, static_cast<std::uint32_t>(host_of(L).ndis().reconfigure()));
        return 1;
    });
}

int driver_transfer_data(lua_State *L) {
    return running(L, "driver.transfer_data", [&] {
        lua_pushinteger(L, static_cast<std::uint32_t>(host_of(L).ndis().transfer_data()));
        return 1;
    });
}

int driver_check_for_hang(lua_State *L) {
    return running(L, "driver.check_for_hang", [&] {
        lua_pushboolean(L, host_of(L).ndis().check_for_hang());
        return 1;
    });
}

int driver_state(lua_State *L) {
    Host &h = host_of(L);
    lua_pushstring(L, h.ndis().halted()        ? "halted"
                      : h.ndis().initialized() ? "running"
                      : h.ndis().registered()  ? "loaded"
                                               : "absent");
    return 1;
}

// Symbolic links in the object namespace, as {name = ..., target = ...}.
int driver_symbolic_links(lua_State *L) {
    return guarded(L, [&] {
        Host &h = host_of(L);
        lua_newtable(L);
        lua_Integer i = 1;
        for (auto &name : h.links()) {
            lua_newtable(L);
            lua_pushstring(L, name.c_str());
            lua_setfield(L, -2, "name");
            lua_pushstring(L, h.link_target(name).c_str());
            lua_setfield(L, -2, "target");
            lua_rawseti(L, -2, i++);
        }
        return 1;
    });
}

} // namespace

void open_driver(lua_State *L) {
    static const luaL_Reg driver[] = {{"load", driver_load},
                                      {"initialize", driver_initialize},
                                      {"start", driver_start},
                                      {"halt", driver_halt},
                                      {"reset", driver_reset},
                                      {"check_for_hang", driver_check_for_hang},
                                      {"state", driver_state},
                                      {"symbolic_links", driver_symbolic_links},
                                      {"reconfigure", driver_reconfigure},
                                      {"transfer_data", driver_transfer_data},
                                      {nullptr, nullptr}};
    register_table(L, "driver", driver);
}

} // namespace tolvanex::sim
