#include "lua/support.h"
#include "host_ndis.h"
#include "suggest.h"

#include <cmath>
#include <set>
#include <cstring>

namespace tolvanex::sim {

namespace {
const char kStateKey = 0;

// The state last looked up, by the Lua thread that asked: every API call
// asks. A state set anywhere empties it, and a new Lua state always sets
// its own before any call, so an entry never outlives its state.
thread_local lua_State *g_last_thread = nullptr;
thread_local ScriptState *g_last_state = nullptr;
} // namespace

ScriptState &state(lua_State *L) {
    if (L == g_last_thread)
        return *g_last_state;
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kStateKey);
    auto *st = static_cast<ScriptState *>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    if (st) {
        g_last_thread = L;
        g_last_state = st;
    }
    return *st;
}

void set_state(lua_State *L, ScriptState *st) {
    g_last_thread = nullptr;
    g_last_state = nullptr;
    lua_pushlightuserdata(L, st);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kStateKey);
}

std::string script_where(lua_State *L) {
    // The whole path, not Lua's shortened one; inside a step library, the
    // script's line that called the step as well.
    lua_Debug ar;
    std::string where;
    for (int level = 0; lua_getstack(L, level, &ar); ++level) {
        if (!lua_getinfo(L, "Sl", &ar))
            break;
        if (ar.currentline <= 0 || !ar.source || ar.source[0] != '@')
            continue;
        std::string here = std::string(ar.source + 1) + ":" + std::to_string(ar.currentline);
        bool library = std::string_view(ar.source).starts_with("@scenarios/lib/");
        if (where.empty())
            where = here;
        else if (!library)
            return where + " (from " + here + ")";
        if (!library)
            return where;
    }
    return where;
}

std::string full_paths(std::string message, const std::string &path) {
    for (std::size_t k = std::min<std::size_t>(path.size(), LUA_IDSIZE); k >= 20 && k <= path.size(); --k) {
        std::string cut = "..." + path.substr(path.size() - k) + ":";
        for (auto at = message.find(cut); at != std::string::npos; at = message.find(cut, at + path.size()))
            message.replace(at, cut.size(), path + ":");
    }
    return message;
}

std::string type_of(lua_State *L, int index) {
    if (lua_isinteger(L, index))
        return "a whole number";
    switch (lua_type(L, index)) {
    case LUA_TNONE:
    case LUA_TNIL: return "nothing";
    case LUA_TNUMBER: return "a fraction";
    case LUA_TSTRING: return "a string";
    case LUA_TBOOLEAN: return "a boolean";
    case LUA_TTABLE: return "a table";
    case LUA_TFUNCTION: return "a function";
    default: return lua_typename(L, lua_type(L, index));
    }
}

namespace {
[[noreturn]] void wrong(lua_State *L, int index, const char *fn, const char *what) {
    throw ScriptError(std::string(fn) + ": argument " + std::to_string(index) + " should be " + what + ", not " +
                      type_of(L, index));
}
} // namespace

std::string arg_string(lua_State *L, int index, const char *fn, const char *what) {
    if (lua_type(L, index) != LUA_TSTRING)
        wrong(L, index, fn, what);
    std::size_t n = 0;
    const char *s = lua_tolstring(L, index, &n);
    return std::string(s, n);
}

std::int64_t arg_integer(lua_State *L, int index, const char *fn, const char *what) {
    if (!lua_isinteger(L, index))
        wrong(L, index, fn, what);
    return lua_tointeger(L, index);
}

std::uint32_t arg_u32(lua_State *L, int index, const char *fn, const char *what) {
    std::int64_t v = arg_integer(L, index, fn, what);
    if (v < 0 || v > 0xFFFFFFFFLL)
        throw ScriptError(std::string(fn) + ": argument " + std::to_string(index) + " (" + std::to_string(v) +
                          ") does not fit 32 bits");
    return static_cast<std::uint32_t>(v);
}

double arg_number(lua_State *L, int index, const char *fn, const char *what) {
    if (lua_type(L, index) != LUA_TNUMBER)
        wrong(L, index, fn, what);
    return lua_tonumber(L, index);
}

bool arg_bool(lua_State *L, int index, const char *fn, const char *what) {
    if (lua_type(L, index) != LUA_TBOOLEAN)
        wrong(L, index, fn, what);
    return lua_toboolean(L, index);
}

std::optional<std::string> opt_string(lua_State *L, int index, const char *fn, const char *what) {
    if (lua_isnoneornil(L, index))
        return std::nullopt;
    return arg_string(L, index, fn, what);
}

std::optional<std::int64_t> opt_integer(lua_State *L, int index, const char *fn, const char *what) {
    if (lua_isnoneornil(L, index))
        return std::nullopt;
    return arg_integer(L, index, fn, what);
}

namespace {
host::Ticks to_ticks(double s, const std::string &what) {
    if (!std::isfinite(s) || s < 0 || s > 400.0 * 24 * 3600)
        throw ScriptError(what + ": " + std::to_string(s) + " is not a time in seconds from 0 to 400 days");
    return static_cast<host::Ticks>(std::llround(s * static_cast<double>(host::kTicksPerSecond)));
}
} // namespace

host::Ticks arg_seconds(lua_State *L, int index, const char *fn, const char *what) {
    return to_ticks(arg_number(L, index, fn, what), fn);
}

void check_keys(lua_State *L, int table, const char *fn, std::initializer_list<const char *> allowed) {
    table = lua_absindex(L, table);
    lua_pushnil(L);
    while (lua_next(L, table)) {
        lua_pop(L, 1);
        bool ok = false;
        if (lua_type(L, -1) == LUA_TSTRING)
            for (auto *a : allowed)
                ok = ok || std::strcmp(a, lua_tostring(L, -1)) == 0;
        if (!ok) {
            std::string list;
            for (auto *a : allowed)
                list += (list.empty() ? "" : ", ") + std::string(a);
            std::string key = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : type_of(L, -1);
            lua_pop(L, 1);
            std::vector<std::string> names(allowed.begin(), allowed.end());
            throw ScriptError(std::string(fn) + ": unknown field '" + key + "'" + did_you_mean(key, names) +
                              " (fields: " + list + ")");
        }
    }
}

namespace {
// Pushes t[key] without metamethods; the caller pops it.
void raw_field(lua_State *L, int table, const char *key) {
    table = lua_absindex(L, table);
    lua_pushstring(L, key);
    lua_rawget(L, table);
}

[[noreturn]] void wrong_field(lua_State *L, const char *key, const char *fn, const char *what) {
    std::string t = type_of(L, -1);
    lua_pop(L, 1);
    throw ScriptError(std::string(fn) + ": field '" + key + "' should be " + what + ", not " + t);
}
} // namespace

std::optional<std::string> field_string(lua_State *L, int table, const char *key, const char *fn) {
    raw_field(L, table, key);
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return std::nullopt;
    }
    if (lua_type(L, -1) != LUA_TSTRING)
        wrong_field(L, key, fn, "a string");
    std::size_t n = 0;
    const char *s = lua_tolstring(L, -1, &n);
    std::string out(s, n);
    lua_pop(L, 1);
    return out;
}

std::optional<std::int64_t> field_integer(lua_State *L, int table, const char *key, const char *fn) {
    raw_field(L, table, key);
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return std::nullopt;
    }
    if (!lua_isinteger(L, -1))
        wrong_field(L, key, fn, "a whole number");
    std::int64_t v = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return v;
}

std::optional<double> field_number(lua_State *L, int table, const char *key, const char *fn) {
    raw_field(L, table, key);
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return std::nullopt;
    }
    if (lua_type(L, -1) != LUA_TNUMBER)
        wrong_field(L, key, fn, "a number");
    double v = lua_tonumber(L, -1);
    lua_pop(L, 1);
    return v;
}

std::optional<bool> field_bool(lua_State *L, int table, const char *key, const char *fn) {
    raw_field(L, table, key);
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return std::nullopt;
    }
    if (lua_type(L, -1) != LUA_TBOOLEAN)
        wrong_field(L, key, fn, "true or false");
    bool v = lua_toboolean(L, -1);
    lua_pop(L, 1);
    return v;
}

std::optional<host::Ticks> field_seconds(lua_State *L, int table, const char *key, const char *fn) {
    auto v = field_number(L, table, key, fn);
    if (!v)
        return std::nullopt;
    return to_ticks(*v, std::string(fn) + " " + key);
}

namespace {

// __index of an API table (upvalue: its name) and of the globals: a name
// that is not there is a mistake, said at once with the nearest name,
// rather than "attempt to call a nil value" a step later.
int missing_name(lua_State *L) {
    return guarded(L, [&]() -> int {
        std::string table = lua_isstring(L, lua_upvalueindex(1)) ? lua_tostring(L, lua_upvalueindex(1)) : "";
        std::string key = lua_type(L, 2) == LUA_TSTRING ? lua_tostring(L, 2) : "";
        // Not a name, or what the sandbox leaves out on purpose: a plain nil.
        static const std::set<std::string> sandboxed = {"dofile", "loadfile", "collectgarbage", "io", "os",
                                                         "package", "debug", "random", "randomseed", "dump"};
        if (key.empty() || key.starts_with("__") || sandboxed.count(key))
            return 0;
        std::vector<std::string> names;
        lua_pushnil(L);
        while (lua_next(L, 1)) {
            lua_pop(L, 1);
            if (lua_type(L, -1) == LUA_TSTRING)
                names.emplace_back(lua_tostring(L, -1));
        }
        std::string best = closest(key, names);
        std::string full = table.empty() ? key : table + "." + key;
        std::string hint = best.empty() ? "" : " (did you mean '" + (table.empty() ? best : table + "." + best) + "'?)";
        throw ScriptError((table.empty() ? "no global '" : "no function '") + full + "'" + hint +
                          (table.empty() ? "" : "; see docs/scenarios.md"));
    });
}

} // namespace

void guard_names(lua_State *L, int table, const char *name) {
    table = lua_absindex(L, table);
    lua_newtable(L);
    if (name)
        lua_pushstring(L, name);
    else
        lua_pushnil(L);
    lua_pushcclosure(L, missing_name, 1);
    lua_setfield(L, -2, "__index");
    lua_setmetatable(L, table);
}

void register_table(lua_State *L, const char *name, const luaL_Reg *functions) {
    lua_newtable(L);
    luaL_setfuncs(L, functions, 0);
    guard_names(L, -1, name);
    lua_setglobal(L, name);
}

void check_running(lua_State *L, const char *fn) {
    if (!host_of(L).ndis().initialized() || host_of(L).ndis().halted())
        throw ScriptError(std::string(fn) + ": the adapter is not running");
}

} // namespace tolvanex::sim
