// The scenario bindings that act on the machine: the driver's lifecycle,
// the registry, RAS, NDISWAN, time, faults, the ISDN driver and its exchange.

#include <filesystem>
#include <fstream>

#include "check/faults.h"
#include "isdn/isdn_driver.h"
#include "isdn/isdn_exchange.h"
#include "lua_support.h"
#include "suggest.h"
#include "ndis_records.h"
#include "ndis/ndis_wrapper.h"
#include "ndis/ndistapi_model.h"
#include "ndis/ndiswan_model.h"
#include "ndis/ras_model.h"
#include "nt/io_manager.h"
#include "nt/regedit.h"
#include "nt/registry.h"
#include "check/trace.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

Host &host_of(lua_State *L) { return *state(L).host; }

void set_int(lua_State *L, const char *key, std::int64_t v) {
    lua_pushinteger(L, v);
    lua_setfield(L, -2, key);
}
void set_str(lua_State *L, const char *key, const std::string &v) {
    lua_pushlstring(L, v.data(), v.size());
    lua_setfield(L, -2, key);
}
void set_num(lua_State *L, const char *key, double v) {
    lua_pushnumber(L, v);
    lua_setfield(L, -2, key);
}
void set_bool(lua_State *L, const char *key, bool v) {
    lua_pushboolean(L, v);
    lua_setfield(L, -2, key);
}
double secs(Ticks t) { return static_cast<double>(t) / kTicksPerSecond; }

// ---- driver ------------------------------------------------------------------------

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

template <class F> int running(lua_State *L, const char *fn, F &&f) {
    return guarded(L, [&] {
        if (!host_of(L).ndis().initialized() || host_of(L).ndis().halted())
            throw ScriptError(std::string(fn) + ": the adapter is not running");
        return f();
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
        ObjectNamespace &objects = host_of(L).objects();
        lua_newtable(L);
        lua_Integer i = 1;
        for (auto &name : objects.links()) {
            lua_newtable(L);
            lua_pushstring(L, name.c_str());
            lua_setfield(L, -2, "name");
            lua_pushstring(L, objects.link_target(name).c_str());
            lua_setfield(L, -2, "target");
            lua_rawseti(L, -2, i++);
        }
        return 1;
    });
}

// ---- registry ----------------------------------------------------------------------

std::string service_key(Host &h) {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + h.options().service_name;
}

// A path not starting with '\' is taken under the service's key.
std::string reg_path(lua_State *L, int index, const char *fn) {
    std::string p = arg_string(L, index, fn, "a registry path");
    if (p.empty())
        return service_key(host_of(L));
    if (p[0] != '\\')
        return service_key(host_of(L)) + "\\" + p;
    return p;
}

std::filesystem::path find_file(lua_State *L, const std::string &name) {
    std::filesystem::path p(name);
    if (p.is_absolute() || std::filesystem::exists(p))
        return p;
    for (auto base : {std::filesystem::path(state(L).script_dir), std::filesystem::path(TOLVANEX_SOURCE_DIR)})
        if (!base.empty() && std::filesystem::exists(base / p))
            return base / p;
    return p;
}

int registry_load(lua_State *L) {
    return guarded(L, [&] {
        std::string name = arg_string(L, 1, "registry.load", "a .reg file");
        import_reg_file(host_of(L).registry(), find_file(L, name));
        return 0;
    });
}

int registry_import(lua_State *L) {
    return guarded(L, [&] {
        std::string text = arg_string(L, 1, "registry.import", "REGEDIT4 text");
        import_reg(host_of(L).registry(), text, "registry.import");
        return 0;
    });
}

// registry.set_raw(path, name, type, bytes): the value's data byte for byte
// (REG_SZ as UTF-16LE, terminated or not), under a type name or number.
int registry_set_raw(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "registry.set_raw";
        std::string path = reg_path(L, 1, fn);
        std::string name = arg_string(L, 2, fn, "a value name");
        static const std::vector<std::pair<std::string, std::uint32_t>> types = {
            {"REG_NONE", 0},   {"REG_SZ", 1},        {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3},
            {"REG_DWORD", 4},  {"REG_MULTI_SZ", 7}};
        std::uint32_t type = 0;
        if (lua_isinteger(L, 3)) {
            type = arg_u32(L, 3, fn, "a type");
        } else {
            std::string t = arg_string(L, 3, fn, "a type name or number");
            auto it = std::find_if(types.begin(), types.end(), [&](auto &p) { return p.first == t; });
            if (it == types.end()) {
                std::vector<std::string> names;
                for (auto &p : types)
                    names.push_back(p.first);
                throw ScriptError("registry.set_raw: unknown type '" + t + "'" + did_you_mean(t, names));
            }
            type = it->second;
        }
        std::string bytes = arg_string(L, 4, fn, "a byte string");
        Registry &reg = host_of(L).registry();
        Registry::check_path(path);
        reg.create_key(path, true);
        reg.set_value(path, name, type, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        return 0;
    });
}

int registry_set(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "registry.set";
        std::string path = reg_path(L, 1, fn);
        std::string name = arg_string(L, 2, fn, "a value name");
        auto type = opt_string(L, 4, fn, "a type name (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY)");
        Registry &reg = host_of(L).registry();
        Registry::check_path(path);
        auto no_nul = [&](const std::string &text) {
            if (text.find('\0') != std::string::npos)
                throw ScriptError("registry.set: a string value cannot hold a NUL (use REG_BINARY)");
            return text;
        };

        if (!type) {
            if (lua_isinteger(L, 3))
                type = "REG_DWORD";
            else if (lua_type(L, 3) == LUA_TSTRING)
                type = "REG_SZ";
            else if (lua_istable(L, 3))
                type = "REG_MULTI_SZ";
            else
                throw ScriptError("registry.set: a value is a whole number, a string or a list of strings, not " +
                                  type_of(L, 3));
        }
        if (*type != "REG_DWORD" && *type != "REG_SZ" && *type != "REG_EXPAND_SZ" && *type != "REG_BINARY" &&
            *type != "REG_MULTI_SZ")
            throw ScriptError("registry.set: unknown type '" + *type + "'");
        if (*type == "REG_MULTI_SZ" && !lua_istable(L, 3))
            throw ScriptError("registry.set: REG_MULTI_SZ takes a list of strings, not " + type_of(L, 3));
        if (*type == "REG_DWORD") {
            arg_u32(L, 3, fn, "a whole number");
        } else if (*type == "REG_SZ" || *type == "REG_EXPAND_SZ") {
            no_nul(arg_string(L, 3, fn, "a string"));
        } else if (*type == "REG_BINARY") {
            arg_string(L, 3, fn, "a byte string");
        } else {
            for (lua_Integer i = 1;; ++i) { // every item checked before anything is written
                lua_rawgeti(L, 3, i);
                bool end = lua_isnil(L, -1);
                bool text = lua_type(L, -1) == LUA_TSTRING;
                std::size_t n = 0;
                const char *p = text ? lua_tolstring(L, -1, &n) : nullptr;
                std::string item = p ? std::string(p, n) : std::string();
                lua_pop(L, 1);
                if (end)
                    break;
                if (!text)
                    throw ScriptError("registry.set: item " + std::to_string(i) + " of the list is not a string");
                no_nul(item);
            }
        }
        reg.create_key(path, true);
        if (*type == "REG_DWORD") {
            reg.set_dword(path, name, arg_u32(L, 3, fn, "a whole number"));
        } else if (*type == "REG_SZ") {
            reg.set_sz(path, name, no_nul(arg_string(L, 3, fn, "a string")));
        } else if (*type == "REG_EXPAND_SZ") {
            reg.set_expand_sz(path, name, no_nul(arg_string(L, 3, fn, "a string")));
        } else if (*type == "REG_BINARY") {
            std::string b = arg_string(L, 3, fn, "a byte string");
            reg.set_binary(path, name, std::vector<std::uint8_t>(b.begin(), b.end()));
        } else if (*type == "REG_MULTI_SZ") {
            if (!lua_istable(L, 3))
                throw ScriptError("registry.set: REG_MULTI_SZ takes a list of strings, not " + type_of(L, 3));
            std::vector<std::string> list;
            for (lua_Integer i = 1;; ++i) {
                lua_rawgeti(L, 3, i);
                if (lua_isnil(L, -1)) {
                    lua_pop(L, 1);
                    break;
                }
                if (lua_type(L, -1) != LUA_TSTRING)
                    throw ScriptError("registry.set: item " + std::to_string(i) + " of the list is " + type_of(L, -1));
                std::size_t n = 0;
                const char *p = lua_tolstring(L, -1, &n);
                list.push_back(no_nul(std::string(p, n)));
                lua_pop(L, 1);
            }
            reg.set_multi_sz(path, name, list);
        } else {
            throw ScriptError("registry.set: unknown type '" + *type + "'");
        }
        return 0;
    });
}

int registry_get(lua_State *L) {
    return guarded(L, [&] {
        std::string path = reg_path(L, 1, "registry.get");
        std::string name = arg_string(L, 2, "registry.get", "a value name");
        if (!host_of(L).registry().key_exists(path)) {
            lua_pushnil(L);
            return 1;
        }
        auto v = host_of(L).registry().get_value(path, name);
        if (!v) {
            lua_pushnil(L);
            return 1;
        }
        if (v->type == kRegDword && v->data.size() == 4) {
            lua_pushinteger(L, v->data[0] | v->data[1] << 8 | v->data[2] << 16 | static_cast<std::uint32_t>(v->data[3]) << 24);
        } else if ((v->type == kRegSz || v->type == kRegExpandSz)) {
            lua_pushstring(L, reg::sz_text(v->data).c_str());
        } else if (v->type == kRegMultiSz) {
            lua_newtable(L);
            lua_Integer i = 1;
            for (auto &s : reg::multi_sz_strings(v->data)) {
                lua_pushstring(L, s.c_str());
                lua_rawseti(L, -2, i++);
            }
        } else {
            lua_pushlstring(L, reinterpret_cast<const char *>(v->data.data()), v->data.size());
        }
        lua_pushstring(L, reg::type_name(v->type).c_str());
        return 2;
    });
}

int registry_delete(lua_State *L) {
    return guarded(L, [&] {
        std::string path = reg_path(L, 1, "registry.delete");
        auto name = opt_string(L, 2, "registry.delete", "a value name");
        bool done = name ? host_of(L).registry().delete_value(path, *name) : host_of(L).registry().delete_key(path);
        lua_pushboolean(L, done);
        return 1;
    });
}

int registry_export(lua_State *L) {
    return guarded(L, [&] {
        std::string path = lua_isnoneornil(L, 1) ? std::string("\\Registry") : reg_path(L, 1, "registry.export");
        lua_pushstring(L, export_reg(host_of(L).registry(), path).c_str());
        return 1;
    });
}

// ---- RAS ---------------------------------------------------------------------------

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

// ---- NDISWAN -----------------------------------------------------------------------

int wan_send(lua_State *L) {
    return running(L, "wan.send", [&] {
        std::uint32_t link = arg_u32(L, 1, "wan.send", "the link's handle");
        if (lua_type(L, 2) != LUA_TSTRING)
            arg_string(L, 2, "wan.send", "the frame's bytes"); // says what is wrong
        // One copy of the bytes, straight from the script's string, which
        // stays on the stack while the send runs.
        std::size_t size = 0;
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(lua_tolstring(L, 2, &size));
        std::uint64_t id = host_of(L).ndiswan().send(link, std::vector<std::uint8_t>(bytes, bytes + size));
        const SentPacket &p = host_of(L).ndiswan().packets().back();
        lua_pushinteger(L, static_cast<lua_Integer>(id));
        lua_pushstring(L, status_name(p.send_status).c_str());
        return 2;
    });
}

int wan_links(lua_State *L) {
    lua_newtable(L);
    lua_Integer i = 1;
    for (auto &l : host_of(L).ndiswan().links()) {
        lua_newtable(L);
        set_int(L, "link", l.link_handle);
        set_int(L, "context", l.context);
        set_int(L, "call", l.connection_id);
        set_int(L, "speed", static_cast<std::int64_t>(l.speed) * 100);
        set_bool(L, "up", l.up);
        lua_rawseti(L, -2, i++);
    }
    return 1;
}

int wan_refuse_receives(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).ndiswan().refuse_receives(arg_bool(L, 1, "wan.refuse_receives", "true or false"));
        return 0;
    });
}

int wan_pending(lua_State *L) {
    lua_pushinteger(L, static_cast<lua_Integer>(host_of(L).ndiswan().pending()));
    return 1;
}

// ---- time --------------------------------------------------------------------------

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

// ---- faults ------------------------------------------------------------------------

int faults_fail_nth(lua_State *L) {
    return guarded(L, [&] {
        std::string site = arg_string(L, 1, "faults.fail_nth", "a site name");
        std::int64_t n = arg_integer(L, 2, "faults.fail_nth", "which call, from 1");
        if (n < 1 || n > 1'000'000'000)
            throw ScriptError("faults.fail_nth: calls count from 1");
        host_of(L).faults().fail_nth(site, static_cast<unsigned>(n));
        return 0;
    });
}

int faults_fail_every(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).faults().fail_every(arg_string(L, 1, "faults.fail_every", "a site name"));
        return 0;
    });
}

int faults_fail_probability(lua_State *L) {
    return guarded(L, [&] {
        double p = arg_number(L, 1, "faults.fail_probability", "a probability");
        if (!(p >= 0 && p <= 1))
            throw ScriptError("faults.fail_probability: a probability lies between 0 and 1");
        host_of(L).faults().fail_with_probability(p, opt_string(L, 2, "faults.fail_probability", "a site prefix").value_or(""));
        return 0;
    });
}

int faults_each_site_once(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).faults().fail_each_site_once();
        return 0;
    });
}

int faults_clear(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).faults().clear();
        return 0;
    });
}

int push_strings(lua_State *L, const std::vector<std::string> &list) {
    lua_newtable(L);
    lua_Integer i = 1;
    for (auto &s : list) {
        lua_pushstring(L, s.c_str());
        lua_rawseti(L, -2, i++);
    }
    return 1;
}

int faults_injected(lua_State *L) { return push_strings(L, host_of(L).faults().injected()); }
int faults_sites(lua_State *L) { return push_strings(L, host_of(L).faults().sites_seen()); }
int faults_calls(lua_State *L) {
    return guarded(L, [&] {
        lua_pushinteger(L, host_of(L).faults().calls(arg_string(L, 1, "faults.calls", "a site name")));
        return 1;
    });
}

// ---- ISDN driver -------------------------------------------------------------------

int isdn_attach(lua_State *L) {
    return guarded(L, [&] {
        if (host_of(L).isdn().attached())
            throw ScriptError("isdn.attach: the ISDN driver is already there");
        host_of(L).isdn().attach();
        return 0;
    });
}

int isdn_detach(lua_State *L) {
    return guarded(L, [&] {
        if (!host_of(L).isdn().attached())
            throw ScriptError("isdn.detach: the ISDN driver is not there");
        host_of(L).isdn().detach();
        return 0;
    });
}

std::optional<std::uint8_t> opt_handle(lua_State *L, int index, const char *fn) {
    auto h = opt_integer(L, index, fn, "a handle");
    if (h && (*h < 0 || *h > 255))
        throw ScriptError(std::string(fn) + ": a handle is a byte");
    if (!h)
        return std::nullopt;
    return static_cast<std::uint8_t>(*h);
}

int isdn_answer(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "isdn.answer";
        auto id = static_cast<std::uint64_t>(arg_integer(L, 1, fn, "the command's id"));
        std::uint32_t status = arg_u32(L, 2, fn, "a status");
        host_of(L).isdn().answer(id, status, opt_handle(L, 3, fn));
        return 0;
    });
}

int isdn_fail(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "isdn.fail";
        auto id = static_cast<std::uint64_t>(arg_integer(L, 1, fn, "the command's id"));
        host_of(L).isdn().fail(id, static_cast<NTSTATUS>(arg_u32(L, 2, fn, "an NTSTATUS")));
        return 0;
    });
}

std::pair<std::uint8_t, std::uint8_t> command_named(const std::string &name) {
    static const struct {
        const char *name;
        std::uint8_t command, code;
    } table[] = {
        {"call", ISDN_CLASS_CONTROL, ISDN_CODE_CALL},
        {"call-response", ISDN_CLASS_CONTROL, ISDN_CODE_CALL_RESP},
        {"clear", ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR},
        {"clear-response", ISDN_CLASS_CONTROL, ISDN_CODE_CLEAR_RESP},
        {"send", ISDN_CLASS_CONTROL, ISDN_CODE_SEND},
        {"listen", ISDN_CLASS_CONTROL, ISDN_CODE_LISTEN},
        {"cancel-listen", ISDN_CLASS_CANCEL, ISDN_CODE_CANCEL_LISTEN},
    };
    for (auto &t : table)
        if (name == t.name)
            return {t.command, t.code};
    throw ScriptError("unknown ISDN command '" + name +
                      "' (call, call-response, clear, clear-response, send, listen, cancel-listen)");
}

int isdn_auto_answer(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "isdn.auto_answer";
        auto [command, code] = command_named(arg_string(L, 1, fn, "a command name"));
        std::uint32_t status = arg_u32(L, 2, fn, "a status");
        host_of(L).isdn().auto_answer(command, code, status, opt_handle(L, 3, fn));
        return 0;
    });
}

int isdn_clear_rules(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).isdn().clear_rules();
        return 0;
    });
}

// The APP_* name as the ISDN driver's records spell it.
std::uint8_t message_code(const std::string &name) {
    for (unsigned code = 0; code < 256; ++code)
        if (name.starts_with("APP_") && IsdnDriver::message_name(static_cast<std::uint8_t>(code)) == name)
            return static_cast<std::uint8_t>(code);
    throw ScriptError("unknown ISDN message '" + name + "' (APP_CONN_IN, APP_CONN_CO, APP_CLEAR_IN, APP_CLEAR_CO, "
                      "APP_DATA_IN, APP_FLOW_ON, APP_FLOW_OFF)");
}

int isdn_queue(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "isdn.queue";
        auto handle = opt_handle(L, 1, fn);
        if (!handle)
            throw ScriptError("isdn.queue: argument 1 should be a handle");
        if (!lua_istable(L, 2))
            throw ScriptError("isdn.queue takes a message table second, not " + type_of(L, 2));
        check_keys(L, 2, fn, {"message", "handle", "number", "cause", "data", "status"});
        IsdnMessage m;
        auto name = field_string(L, 2, "message", fn);
        if (!name)
            throw ScriptError("isdn.queue: the message needs a 'message' name");
        m.code = message_code(*name);
        if (auto h = field_integer(L, 2, "handle", fn)) {
            if (*h < 0 || *h > 255)
                throw ScriptError("isdn.queue: a handle is a byte");
            m.handle = static_cast<std::uint8_t>(*h);
        }
        m.number = field_string(L, 2, "number", fn).value_or("");
        auto cause = field_integer(L, 2, "cause", fn).value_or(0);
        if (cause < 0 || cause > 255)
            throw ScriptError("isdn.queue: a cause is a byte");
        m.cause = static_cast<std::uint8_t>(cause);
        auto data = field_string(L, 2, "data", fn).value_or("");
        m.data.assign(data.begin(), data.end());
        auto status = field_integer(L, 2, "status", fn).value_or(0);
        if (status < 0 || status > 0xFFFFFFFFLL)
            throw ScriptError("isdn.queue: a status fits 32 bits");
        m.status = static_cast<std::uint32_t>(status);
        host_of(L).isdn().queue_message(*handle, m);
        return 0;
    });
}

int isdn_pending_reads(lua_State *L) {
    return guarded(L, [&] {
        auto h = opt_handle(L, 1, "isdn.pending_reads");
        lua_pushinteger(L, static_cast<lua_Integer>(h ? host_of(L).isdn().pending_reads(*h)
                                                      : host_of(L).isdn().pending_reads()));
        return 1;
    });
}

int isdn_clients(lua_State *L) {
    lua_pushinteger(L, host_of(L).isdn().clients());
    return 1;
}

// ---- exchange ----------------------------------------------------------------------

IsdnExchange &exchange(lua_State *L) { return host_of(L).isdn().use_exchange(); }

// Reading the exchange must not put a scripted ISDN driver in exchange mode.
IsdnExchange &exchange_seen(lua_State *L, const char *fn) {
    if (!host_of(L).isdn().exchange_mode())
        throw ScriptError(std::string(fn) + ": the ISDN driver is scripted; no exchange runs");
    return host_of(L).isdn().exchange();
}

int exchange_local(lua_State *L) {
    return guarded(L, [&] {
        exchange(L).set_local(arg_string(L, 1, "exchange.local_number", "the line's number"));
        return 0;
    });
}

int exchange_party(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "exchange.party";
        if (!lua_istable(L, 1))
            throw ScriptError("exchange.party takes a table, not " + type_of(L, 1));
        check_keys(L, 1, fn, {"number", "answer", "delay", "cause", "echo", "stream", "clear_after", "clear_cause"});
        Party p;
        p.number = field_string(L, 1, "number", fn).value_or("");
        std::string answer = field_string(L, 1, "answer", fn).value_or("after");
        if (answer == "after")
            p.answer = Party::Answer::After;
        else if (answer == "busy")
            p.answer = Party::Answer::Busy;
        else if (answer == "refuse")
            p.answer = Party::Answer::Refuse;
        else if (answer == "never")
            p.answer = Party::Answer::Never;
        else
            throw ScriptError("exchange.party: answer is after, busy, refuse or never, not '" + answer + "'");
        p.delay = field_seconds(L, 1, "delay", fn).value_or(0);
        auto byte = [&](const char *key, std::int64_t dflt) {
            auto v = field_integer(L, 1, key, fn).value_or(dflt);
            if (v < 0 || v > 255)
                throw ScriptError(std::string("exchange.party: ") + key + " is a byte");
            return static_cast<std::uint8_t>(v);
        };
        p.cause = byte("cause", 0);
        p.clear_cause = byte("clear_cause", isdn_cause::kNormalClearing);
        p.echo = field_bool(L, 1, "echo", fn).value_or(false);
        p.clear_after = field_seconds(L, 1, "clear_after", fn);
        lua_pushliteral(L, "stream");
        lua_rawget(L, 1);
        if (!lua_isnil(L, -1)) {
            const char *sfn = "exchange.party stream";
            if (!lua_istable(L, -1))
                throw ScriptError("exchange.party: stream takes {bytes=, every=, count=}, not " + type_of(L, -1));
            check_keys(L, -1, sfn, {"bytes", "every", "count"});
            Party::Stream s;
            auto bytes = field_integer(L, -1, "bytes", sfn).value_or(0);
            auto count = field_integer(L, -1, "count", sfn).value_or(0);
            if (bytes < 1 || bytes > 2048 || count < 0)
                throw ScriptError("exchange.party: a stream sends 1 to 2048 bytes a frame, count 0 or more");
            s.bytes = static_cast<std::size_t>(bytes);
            s.count = static_cast<std::size_t>(count);
            s.every = field_seconds(L, -1, "every", sfn).value_or(0);
            p.stream = s;
        }
        lua_pop(L, 1);
        exchange(L).add_party(p);
        return 0;
    });
}

int exchange_call_in(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "exchange.call_in";
        if (!lua_istable(L, 1))
            throw ScriptError("exchange.call_in takes a table, not " + type_of(L, 1));
        check_keys(L, 1, fn, {"from", "to", "subaddress", "at", "after", "give_up_after"});
        CallIn c;
        c.from = field_string(L, 1, "from", fn).value_or("");
        c.to = field_string(L, 1, "to", fn).value_or("");
        c.subaddress = field_string(L, 1, "subaddress", fn).value_or("");
        auto at = field_seconds(L, 1, "at", fn);
        auto after = field_seconds(L, 1, "after", fn);
        if (at && after)
            throw ScriptError("exchange.call_in: give at or after, not both");
        c.at = at ? *at : host_of(L).now() + after.value_or(0);
        c.give_up_after = field_seconds(L, 1, "give_up_after", fn);
        exchange(L).call_in(c);
        return 0;
    });
}

int exchange_pacing(lua_State *L) {
    return guarded(L, [&] {
        exchange(L).set_pacing(arg_bool(L, 1, "exchange.pacing", "true or false"));
        return 0;
    });
}

int exchange_flow_marks(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "exchange.flow_marks";
        if (!lua_istable(L, 1))
            throw ScriptError("exchange.flow_marks takes {high=, low=, capacity=}, not " + type_of(L, 1));
        check_keys(L, 1, fn, {"high", "low", "capacity"});
        FlowMarks m = exchange(L).flow_marks();
        auto get = [&](const char *key, std::size_t dflt) {
            auto v = field_integer(L, 1, key, fn);
            if (v && *v < 0)
                throw ScriptError(std::string(fn) + ": " + key + " counts frames");
            return v ? static_cast<std::size_t>(*v) : dflt;
        };
        std::size_t high = get("high", m.high), low = get("low", m.low), cap = get("capacity", m.capacity);
        exchange(L).set_flow_marks(high, low, cap);
        return 0;
    });
}

int exchange_calls(lua_State *L) {
    return guarded(L, [&] {
        lua_newtable(L);
        lua_Integer i = 1;
        for (auto &c : exchange_seen(L, "exchange.calls").calls()) {
            lua_newtable(L);
            set_int(L, "id", static_cast<std::int64_t>(c.id));
            set_int(L, "handle", c.handle);
            set_int(L, "channel", c.channel + 1);
            set_bool(L, "outgoing", c.outgoing);
            set_str(L, "remote", c.remote);
            set_str(L, "local", c.local);
            set_str(L, "subaddress", c.subaddress);
            set_str(L, "state", std::string(isdn_call_state_name(c.state)));
            set_str(L, "ended", c.end);
            set_int(L, "cause", c.cause);
            set_num(L, "started", secs(c.started));
            if (c.connected >= 0)
                set_num(L, "connected", secs(c.connected));
            if (c.released >= 0)
                set_num(L, "released", secs(c.released));
            lua_rawseti(L, -2, i++);
        }
        return 1;
    });
}

int exchange_channels(lua_State *L) {
    return guarded(L, [&] {
        lua_newtable(L);
        lua_Integer i = 1;
        for (auto &c : exchange_seen(L, "exchange.channels").channels()) {
            lua_newtable(L);
            set_int(L, "frames_out", static_cast<std::int64_t>(c.frames_out));
            set_int(L, "bytes_out", static_cast<std::int64_t>(c.bytes_out));
            set_int(L, "frames_in", static_cast<std::int64_t>(c.frames_in));
            set_int(L, "bytes_in", static_cast<std::int64_t>(c.bytes_in));
            set_int(L, "flow_off", static_cast<std::int64_t>(c.flow_off));
            set_int(L, "flow_on", static_cast<std::int64_t>(c.flow_on));
            set_int(L, "handle", c.handle);
            set_int(L, "queued", static_cast<std::int64_t>(c.queued));
            lua_rawseti(L, -2, i++);
        }
        return 1;
    });
}

int exchange_listens(lua_State *L) {
    return guarded(L, [&] {
        lua_newtable(L);
        lua_Integer i = 1;
        for (auto &[handle, address] : exchange_seen(L, "exchange.listens").listens()) {
            lua_newtable(L);
            set_int(L, "handle", handle);
            set_str(L, "address", address);
            lua_rawseti(L, -2, i++);
        }
        return 1;
    });
}

int exchange_pattern(lua_State *L) {
    return guarded(L, [&] {
        auto k = arg_integer(L, 1, "exchange.pattern", "the frame's number");
        auto n = arg_integer(L, 2, "exchange.pattern", "its length");
        if (k < 0 || n < 0 || n > 65536)
            throw ScriptError("exchange.pattern: frame number and length are not negative, length at most 65536");
        auto bytes = IsdnExchange::discard_frame(static_cast<std::size_t>(k), static_cast<std::size_t>(n));
        lua_pushlstring(L, reinterpret_cast<const char *>(bytes.data()), bytes.size());
        return 1;
    });
}

int exchange_ip_frame(lua_State *L) {
    return guarded(L, [&] {
        auto k = arg_integer(L, 1, "exchange.ip_frame", "the packet's number");
        auto n = arg_integer(L, 2, "exchange.ip_frame", "its length");
        if (k < 0 || n < 0 || n > 65536)
            throw ScriptError("exchange.ip_frame: packet number and length are not negative, length at most 65536");
        auto bytes = IsdnExchange::ip_frame(static_cast<std::size_t>(k), static_cast<std::size_t>(n));
        lua_pushlstring(L, reinterpret_cast<const char *>(bytes.data()), bytes.size());
        return 1;
    });
}

int exchange_echo_reply(lua_State *L) {
    return guarded(L, [&] {
        std::size_t len = 0;
        const char *number = luaL_checkstring(L, 1);
        const char *frame = luaL_checklstring(L, 2, &len);
        auto bytes = IsdnExchange::echo_reply(number, std::vector<std::uint8_t>(frame, frame + len));
        lua_pushlstring(L, reinterpret_cast<const char *>(bytes.data()), bytes.size());
        return 1;
    });
}

} // namespace

void open_host(lua_State *L) {
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
    static const luaL_Reg registry[] = {{"load", registry_load},     {"import", registry_import},
                                        {"set", registry_set},       {"get", registry_get},
                                        {"delete", registry_delete}, {"export", registry_export},
                                        {"set_raw", registry_set_raw},
                                        {nullptr, nullptr}};
    register_table(L, "registry", registry);
    lua_getglobal(L, "registry");
    lua_pushstring(L, service_key(host_of(L)).c_str());
    lua_setfield(L, -2, "service");
    lua_pop(L, 1);
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
    static const luaL_Reg wan[] = {{"send", wan_send},
                                   {"links", wan_links},
                                   {"refuse_receives", wan_refuse_receives},
                                   {"pending", wan_pending},
                                   {nullptr, nullptr}};
    register_table(L, "wan", wan);
    lua_register(L, "run", time_run);
    lua_register(L, "settle", time_settle);
    lua_register(L, "now", time_now);
    static const luaL_Reg faults[] = {{"fail_nth", faults_fail_nth},
                                      {"fail_every", faults_fail_every},
                                      {"fail_probability", faults_fail_probability},
                                      {"fail_each_site_once", faults_each_site_once},
                                      {"clear", faults_clear},
                                      {"injected", faults_injected},
                                      {"sites", faults_sites},
                                      {"calls", faults_calls},
                                      {nullptr, nullptr}};
    register_table(L, "faults", faults);
    static const luaL_Reg isdn[] = {{"attach", isdn_attach},
                                    {"detach", isdn_detach},
                                    {"answer", isdn_answer},
                                    {"fail", isdn_fail},
                                    {"auto_answer", isdn_auto_answer},
                                    {"clear_rules", isdn_clear_rules},
                                    {"queue", isdn_queue},
                                    {"pending_reads", isdn_pending_reads},
                                    {"clients", isdn_clients},
                                    {nullptr, nullptr}};
    register_table(L, "isdn", isdn);
    static const luaL_Reg exchange[] = {{"local_number", exchange_local},
                                        {"party", exchange_party},
                                        {"call_in", exchange_call_in},
                                        {"pacing", exchange_pacing},
                                        {"flow_marks", exchange_flow_marks},
                                        {"calls", exchange_calls},
                                        {"channels", exchange_channels},
                                        {"listens", exchange_listens},
                                        {"pattern", exchange_pattern},
                                        {"ip_frame", exchange_ip_frame},
                                        {"echo_reply", exchange_echo_reply},
                                        {nullptr, nullptr}};
    register_table(L, "exchange", exchange);
}

} // namespace tolvanex::sim
