// What the scenario bindings share: the run's state, the two kinds of
// error a script can meet, and argument reading that never unwinds C++
// frames with a Lua error.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <lua.hpp>

#include "host.h"
#include "observations.h"

namespace tolvanex::sim {

// A mistake in the script: a wrong name, type or value. Exit status 2.
struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An expectation that did not hold. Exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct IgnoreRule {
    int id = 0;
    std::string stream;
    int pattern_ref = LUA_NOREF; // LUA_NOREF: the whole stream
};

struct ScriptState {
    host::Host *host = nullptr;
    std::unique_ptr<Observer> observer;
    std::vector<IgnoreRule> ignores;
    int next_ignore = 1;
    std::size_t classified = 0; // observations already held against the ignore rules
    std::size_t expectations = 0;
    std::size_t waived = 0; // event expectations on the NT image
    int hook_count = 0;        // instruction hooks since virtual time last moved
    bool runaway = false;      // the script looped; it is stopped whatever pcall does
    std::string runaway_message;
    bool in_predicate = false; // a pattern's function is running
    std::uint32_t next_request_id = 0x100;
    bool driver_loaded = false;
    host::DriverEntryRoutine driver_entry = nullptr; // the linked driver's or the loaded image's
    bool records_events = true; // false on the NT image, whose event hook records nothing
    // While a scoped expectation runs: the call's or link's handles. A
    // record naming another value under one of these fields is not its.
    std::vector<std::pair<std::string, std::int64_t>> scope;
    std::string script_dir;
    // Record field names as Lua strings, by the address of their literal:
    // registry references, made once per script.
    std::unordered_map<const char *, int> keys;

    // How the run ended, when not by returning.
    std::optional<std::string> failure;
    std::optional<host::Violation> violation;
};

ScriptState &state(lua_State *L);
void set_state(lua_State *L, ScriptState *st);

// "scenarios/x.lua:12" for the innermost line of a script file, or "".
std::string script_where(lua_State *L);
// `message` with Lua's shortened forms ("...h/to/x.lua:3:") of `path`
// written out in full.
std::string full_paths(std::string message, const std::string &path);

// Runs `f` and turns what it throws into a Lua error, once every C++ frame
// of it has been left.
template <class F> int guarded(lua_State *L, F &&f) {
    int results = -1;
    try {
        // A predicate only looks: acting from one would change what it judges.
        if (state(L).in_predicate)
            throw ScriptError("a pattern's function may not call the simulator");
        results = f();
    } catch (const host::VerifierStop &e) {
        state(L).violation = e.violation();
        lua_pushstring(L, e.what());
    } catch (const Failure &e) {
        state(L).failure = script_where(L) + ": " + e.what();
        lua_pushlstring(L, state(L).failure->data(), state(L).failure->size());
    } catch (const std::exception &e) {
        std::string where = script_where(L);
        std::string message = (where.empty() ? "" : where + ": ") + e.what();
        lua_pushlstring(L, message.data(), message.size());
    }
    if (results >= 0)
        return results;
    return lua_error(L);
}

// Argument readers: ScriptError on a wrong type, naming the function.
std::string arg_string(lua_State *L, int index, const char *fn, const char *what);
std::int64_t arg_integer(lua_State *L, int index, const char *fn, const char *what);
double arg_number(lua_State *L, int index, const char *fn, const char *what);
bool arg_bool(lua_State *L, int index, const char *fn, const char *what);
std::optional<std::string> opt_string(lua_State *L, int index, const char *fn, const char *what);
std::optional<std::int64_t> opt_integer(lua_State *L, int index, const char *fn, const char *what);
host::Ticks arg_seconds(lua_State *L, int index, const char *fn, const char *what);
std::uint32_t arg_u32(lua_State *L, int index, const char *fn, const char *what);

// Fields of an options table: every key must be one of `allowed`.
void check_keys(lua_State *L, int table, const char *fn, std::initializer_list<const char *> allowed);
std::optional<std::string> field_string(lua_State *L, int table, const char *key, const char *fn);
std::optional<std::int64_t> field_integer(lua_State *L, int table, const char *key, const char *fn);
std::optional<double> field_number(lua_State *L, int table, const char *key, const char *fn);
std::optional<bool> field_bool(lua_State *L, int table, const char *key, const char *fn);
std::optional<host::Ticks> field_seconds(lua_State *L, int table, const char *key, const char *fn);

std::string type_of(lua_State *L, int index);

// Makes reading a name `table` lacks a script error naming the nearest one
// (`name` is the table's global name; nullptr for the globals).
void guard_names(lua_State *L, int table, const char *name);
// A table of functions as a global.
void register_table(lua_State *L, const char *name, const luaL_Reg *functions);

// Failure when a record was left open (expect.cpp).
void check_idle(lua_State *L);

// The host the script drives.
inline host::Host &host_of(lua_State *L) { return *state(L).host; }

// A field of the table on top of the stack.
inline void set_int(lua_State *L, const char *key, std::int64_t v) {
    lua_pushinteger(L, v);
    lua_setfield(L, -2, key);
}
inline void set_str(lua_State *L, const char *key, const std::string &v) {
    lua_pushlstring(L, v.data(), v.size());
    lua_setfield(L, -2, key);
}
inline void set_num(lua_State *L, const char *key, double v) {
    lua_pushnumber(L, v);
    lua_setfield(L, -2, key);
}
inline void set_bool(lua_State *L, const char *key, bool v) {
    lua_pushboolean(L, v);
    lua_setfield(L, -2, key);
}
// Virtual time as the scripts see it: seconds.
inline double secs(host::Ticks t) { return static_cast<double>(t) / host::kTicksPerSecond; }

// ScriptError naming `fn` unless the adapter is initialised and not halted.
void check_running(lua_State *L, const char *fn);
// `f` guarded, for the calls that need a running adapter.
template <class F> int running(lua_State *L, const char *fn, F &&f) {
    return guarded(L, [&] {
        check_running(L, fn);
        return f();
    });
}

} // namespace tolvanex::sim
