// registry.*: values under the service's key or any NT path, and .reg files
// in and out.

#include <filesystem>

#include "host_registry.h"
#include "lua/bindings.h"
#include "lua/support.h"
#include "suggest.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

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

} // namespace

void open_registry(lua_State *L) {
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
}

} // namespace tolvanex::sim
