// ras.*: RAS as a user of the driver: its port configuration, and lines and
// calls through NDIS TAPI.

#include "host_ndis.h"
#include "host_records.h"
#include "lua/bindings.h"
#include "lua/support.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

std::vector<std::string> string_list(lua_State *L, int index, const char *fn) {
    if (!lua_istable(L, index))
        throw ScriptError(std::string(fn) + " takes a list of strings, not " + type_of(L, index));
    std::vector<std::string> out;
    for (lua_Integer i = 1;; ++i) {
        lua_rawgeti(L, index, i);
        if (lua_isnil(L, -1)) {
            lua_pop(L, 1);
            return out;
        }
        if (lua_type(L, -1) != LUA_TSTRING)
            throw ScriptError(std::string(fn) + ": item " + std::to_string(i) + " is " + type_of(L, -1));
        out.emplace_back(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
}

int ras_configure(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "ras.configure";
        if (!lua_istable(L, 1))
            throw ScriptError("ras.configure takes a list of {address=..., usage=...}, not " + type_of(L, 1));
        std::vector<RasPort> ports;
        for (lua_Integer i = 1;; ++i) {
            lua_rawgeti(L, 1, i);
            if (lua_isnil(L, -1))
                break;
            if (!lua_istable(L, -1))
                throw ScriptError("ras.configure: port " + std::to_string(i) + " is " + type_of(L, -1));
            check_keys(L, -1, fn, {"address", "usage"});
            // An empty entry would end a REG_MULTI_SZ list, so a missing
            // field takes what RAS itself would write for port i.
            char address[16];
            std::snprintf(address, sizeof address, "1-%02d-00", static_cast<int>(i % 100));
            RasPort p;
            p.address = field_string(L, -1, "address", fn).value_or(address);
            p.usage = field_string(L, -1, "usage", fn).value_or("ClientAndServer");
            ports.push_back(p);
            lua_pop(L, 1);
        }
        host_of(L).ras().configure(ports);
        return 0;
    });
}

int ras_route(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).ras().configure_route(string_list(L, 1, "ras.route"));
        return 0;
    });
}

int ras_unconfigure(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).ras().remove_configuration();
        return 0;
    });
}

void push_answer(lua_State *L, const TapiAnswer &a) {
    lua_newtable(L);
    set_int(L, "status", static_cast<std::uint32_t>(a.status));
    set_str(L, "status_name", status_name(a.status));
}

int ras_initialize(lua_State *L) {
    return running(L, "ras.initialize", [&] {
        ULONG base = lua_isnoneornil(L, 1) ? 0 : arg_u32(L, 1, "ras.initialize", "the first device ID");
        ULONG lines = 0;
        TapiAnswer a = host_of(L).ras().initialize(base, &lines);
        push_answer(L, a);
        set_int(L, "lines", lines);
        return 1;
    });
}

int ras_open(lua_State *L) {
    return running(L, "ras.open", [&] {
        ULONG device = arg_u32(L, 1, "ras.open", "a device ID");
        HTAPI_LINE ht = 0;
        HDRV_LINE hd = 0;
        TapiAnswer a = host_of(L).ras().open(device, &ht, &hd);
        push_answer(L, a);
        set_int(L, "line", hd);
        set_int(L, "htline", ht);
        return 1;
    });
}

int ras_dial(lua_State *L) {
    return running(L, "ras.dial", [&] {
        HDRV_LINE line = arg_u32(L, 1, "ras.dial", "a line (hdLine)");
        std::string number = arg_string(L, 2, "ras.dial", "a dial string");
        auto comment = opt_string(L, 3, "ras.dial", "a comment");
        HDRV_CALL hd = 0;
        HTAPI_CALL ht = 0;
        TapiAnswer a = host_of(L).ras().make_call(line, number, &hd, &ht, comment);
        push_answer(L, a);
        set_int(L, "call", hd);
        set_int(L, "htcall", ht);
        return 1;
    });
}

template <TapiAnswer (Ras::*Op)(ULONG)> int ras_one(lua_State *L, const char *fn) {
    return running(L, fn, [&] {
        ULONG h = arg_u32(L, 1, fn, "a handle");
        push_answer(L, (host_of(L).ras().*Op)(h));
        return 1;
    });
}
int ras_close(lua_State *L) { return ras_one<&Ras::close>(L, "ras.close"); }
int ras_answer(lua_State *L) { return ras_one<&Ras::answer>(L, "ras.answer"); }
int ras_drop(lua_State *L) { return ras_one<&Ras::drop>(L, "ras.drop"); }
int ras_close_call(lua_State *L) { return ras_one<&Ras::close_call>(L, "ras.close_call"); }

} // namespace

void open_ras(lua_State *L) {
    static const luaL_Reg ras[] = {{"configure", ras_configure},
                                   {"route", ras_route},
                                   {"unconfigure", ras_unconfigure},
                                   {"initialize", ras_initialize},
                                   {"open", ras_open},
                                   {"close", ras_close},
                                   {"dial", ras_dial},
                                   {"answer", ras_answer},
                                   {"drop", ras_drop},
                                   {"close_call", ras_close_call},
                                   {nullptr, nullptr}};
    register_table(L, "ras", ras);
}

} // namespace tolvanex::sim
