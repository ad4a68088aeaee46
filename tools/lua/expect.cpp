// Expectations: what a script says it will observe, held strictly against
// what the run produced. The next open record of a stream must match the
// script's next expectation on it; an unordered group takes its records in
// any order; `idle` fails on anything nobody consumed.

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>

#include "host.h"
#include "host_records.h"
#include "lua/bindings.h"
#include "lua/support.h"
#include "ndis_records.h"
#include "suggest.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

constexpr double kDefaultWithin = 60; // seconds an expectation waits by default


std::string seconds_text(Ticks t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(t) / kTicksPerSecond);
    return buf;
}

void push_value(lua_State *L, const FieldValue &v) {
    if (auto *i = std::get_if<std::int64_t>(&v)) {
        lua_pushinteger(L, *i);
    } else if (auto *s = std::get_if<std::string>(&v)) {
        lua_pushlstring(L, s->data(), s->size());
    } else {
        lua_newtable(L);
        lua_Integer n = 1;
        for (auto &s : std::get<std::vector<std::string>>(v)) {
            lua_pushlstring(L, s.data(), s.size());
            lua_rawseti(L, -2, n++);
        }
    }
}

// A record is built for every frame a script checks: its keys come from
// the registry rather than through Lua's string cache, and go in raw, as
// the table is new and has no metatable.
void push_key(lua_State *L, const char *key) {
    auto &keys = state(L).keys;
    auto it = keys.find(key);
    if (it == keys.end()) {
        lua_pushstring(L, key);
        it = keys.emplace(key, luaL_ref(L, LUA_REGISTRYINDEX)).first;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, it->second);
}

void push_observation(lua_State *L, const Observation &o) {
    lua_createtable(L, 0, static_cast<int>(3 + o.fields.size())); // no growing on the way
    push_key(L, "stream");
    lua_pushstring(L, o.stream.c_str());
    lua_rawset(L, -3);
    push_key(L, "time");
    lua_pushnumber(L, static_cast<double>(o.time) / kTicksPerSecond);
    lua_rawset(L, -3);
    push_key(L, "seq");
    lua_pushinteger(L, static_cast<lua_Integer>(o.seq));
    lua_rawset(L, -3);
    for (auto &[k, v] : o.fields) {
        push_key(L, k);
        push_value(L, v);
        lua_rawset(L, -3);
    }
}

// The field a bare string pattern names, per stream.
const char *primary_field(const std::string &stream) {
    if (stream == "isdn" || stream == "event")
        return "name";
    if (stream == "tapi")
        return "msg";
    if (stream == "wan")
        return "event";
    if (stream == "frame")
        return "data";
    return "status";
}

const StreamInfo &stream_arg(lua_State *L, int index, const char *fn) {
    std::string name = arg_string(L, index, fn, "a stream name");
    const StreamInfo *s = find_stream(name);
    if (!s) {
        std::string list;
        for (auto &i : streams())
            list += (list.empty() ? "" : ", ") + std::string(i.name);
        std::vector<std::string> names;
        for (auto &i : streams())
            names.emplace_back(i.name);
        throw ScriptError(std::string(fn) + ": unknown stream '" + name + "'" + did_you_mean(name, names) +
                          " (streams: " + list + ")");
    }
    return *s;
}

// A pattern is nil (anything), a string (the stream's main field), a
// function of the record, or a table of field = value | predicate.
void check_pattern(lua_State *L, int index, const StreamInfo &s, const char *fn) {
    int t = lua_type(L, index);
    if (t == LUA_TNIL || t == LUA_TNONE || t == LUA_TSTRING || t == LUA_TFUNCTION)
        return;
    if (t != LUA_TTABLE)
        throw ScriptError(std::string(fn) + ": a pattern is a table, a string or a function, not " + type_of(L, index));
    index = lua_absindex(L, index);
    lua_pushnil(L);
    while (lua_next(L, index)) {
        lua_pop(L, 1);
        std::string key = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "";
        bool known = false;
        for (auto *f : s.fields)
            known = known || key == f;
        if (key == "time") {
            lua_pushvalue(L, -1);
            lua_rawget(L, index);
            bool function = lua_type(L, -1) == LUA_TFUNCTION;
            lua_pop(L, 1);
            if (!function)
                throw ScriptError(std::string(fn) + ": time takes a function of the record's time in seconds");
            continue;
        }
        if (!known) {
            std::string list;
            std::vector<std::string> names{"time"};
            for (auto *f : s.fields) {
                list += (list.empty() ? "" : ", ") + std::string(f);
                names.emplace_back(f);
            }
            throw ScriptError(std::string(fn) + ": " + s.name + " records have no field '" + key + "'" +
                              did_you_mean(key, names) + " (fields: " + list + ")");
        }
    }
}

// Fields whose numbers are handles or codes, shown in hex; every other
// number is a quantity, shown in decimal.
bool hex_field(std::string_view key) {
    return key == "line" || key == "call" || key == "link" || key == "context" || key == "id" || key == "p1" ||
           key == "p2" || key == "p3" || key == "code";
}

std::string describe_value(lua_State *L, int index, std::string_view key = {}) {
    switch (lua_type(L, index)) {
    case LUA_TSTRING: {
        std::size_t n = 0;
        const char *p = lua_tolstring(L, index, &n);
        bool printable = std::all_of(p, p + n, [](char c) { return c >= 0x20 && c < 0x7F; });
        if (printable)
            return '"' + std::string(p, n) + '"';
        std::string out = "<" + std::to_string(n) + " bytes>";
        return out;
    }
    case LUA_TNUMBER:
        if (lua_isinteger(L, index)) {
            lua_Integer v = lua_tointeger(L, index);
            return hex_field(key) && v > 9 && v <= 0xFFFFFFFFLL ? hex32(static_cast<std::uint32_t>(v))
                                                                : std::to_string(v);
        }
        return std::to_string(lua_tonumber(L, index));
    case LUA_TBOOLEAN: return lua_toboolean(L, index) ? "true" : "false";
    case LUA_TFUNCTION: return "<predicate>";
    case LUA_TTABLE: return "{...}";
    default: return type_of(L, index);
    }
}

std::string describe_pattern(lua_State *L, int index, const std::string &stream) {
    int t = lua_type(L, index);
    if (t == LUA_TNIL || t == LUA_TNONE)
        return stream + " (anything)";
    if (t == LUA_TSTRING)
        return stream + " " + primary_field(stream) + "=" + describe_value(L, index);
    if (t == LUA_TFUNCTION)
        return stream + " <predicate>";
    index = lua_absindex(L, index);
    std::vector<std::pair<std::string, std::string>> items;
    lua_pushnil(L);
    while (lua_next(L, index)) {
        items.emplace_back(lua_tostring(L, -2), describe_value(L, -1, lua_tostring(L, -2)));
        lua_pop(L, 1);
    }
    std::sort(items.begin(), items.end());
    std::string out = stream;
    for (auto &[k, v] : items)
        out += " " + k + "=" + v;
    return out;
}

// Calls the function at the top of the stack with the value below it;
// ScriptError if it raises.
bool call_predicate(lua_State *L) {
    state(L).in_predicate = true;
    int status = lua_pcall(L, 1, 1, 0);
    state(L).in_predicate = false;
    if (status != LUA_OK) {
        std::string msg = lua_tostring(L, -1) ? lua_tostring(L, -1) : "error in a predicate";
        lua_pop(L, 1);
        // The script's own place is added once, by the caller.
        if (std::string where = script_where(L) + ": "; msg.starts_with(where))
            msg.erase(0, where.size());
        throw ScriptError("a predicate failed: " + msg);
    }
    bool ok = lua_toboolean(L, -1);
    lua_pop(L, 1);
    return ok;
}

bool value_matches(lua_State *L, int pattern, const FieldValue &v) {
    pattern = lua_absindex(L, pattern);
    if (lua_type(L, pattern) == LUA_TFUNCTION) {
        lua_pushvalue(L, pattern);
        push_value(L, v);
        return call_predicate(L);
    }
    if (auto *i = std::get_if<std::int64_t>(&v)) {
        if (lua_isinteger(L, pattern))
            return lua_tointeger(L, pattern) == *i;
        if (lua_type(L, pattern) == LUA_TNUMBER)
            return lua_tonumber(L, pattern) == static_cast<double>(*i);
        return false;
    }
    if (auto *s = std::get_if<std::string>(&v)) {
        if (lua_type(L, pattern) != LUA_TSTRING)
            return false;
        std::size_t n = 0;
        const char *p = lua_tolstring(L, pattern, &n);
        return std::string_view(p, n) == *s;
    }
    const auto &list = std::get<std::vector<std::string>>(v);
    if (!lua_istable(L, pattern) || lua_rawlen(L, pattern) != list.size())
        return false;
    for (std::size_t i = 0; i < list.size(); ++i) {
        lua_rawgeti(L, pattern, static_cast<lua_Integer>(i + 1));
        bool same = lua_type(L, -1) == LUA_TSTRING && list[i] == lua_tostring(L, -1);
        lua_pop(L, 1);
        if (!same)
            return false;
    }
    return true;
}

bool matches(lua_State *L, int pattern, const Observation &o) {
    pattern = lua_absindex(L, pattern);
    int t = lua_type(L, pattern);
    if (t == LUA_TNIL || t == LUA_TNONE)
        return true;
    if (t == LUA_TFUNCTION) {
        lua_pushvalue(L, pattern);
        push_observation(L, o);
        return call_predicate(L);
    }
    if (t == LUA_TSTRING) {
        const FieldValue *v = o.field(primary_field(o.stream));
        return v && value_matches(L, pattern, *v);
    }
    lua_pushnil(L);
    while (lua_next(L, pattern)) {
        if (lua_type(L, -2) != LUA_TSTRING)
            throw ScriptError("a pattern's keys are field names");
        std::string key = lua_tostring(L, -2);
        bool ok;
        if (key == "time") {
            // Virtual seconds; only a predicate makes sense for a time.
            ok = false;
            if (lua_type(L, -1) == LUA_TFUNCTION) {
                lua_pushvalue(L, -1);
                lua_pushnumber(L, static_cast<double>(o.time) / kTicksPerSecond);
                ok = call_predicate(L);
            }
        } else {
            const FieldValue *v = o.field(key);
            ok = v && value_matches(L, -1, *v);
        }
        lua_pop(L, 1);
        if (!ok) {
            lua_pop(L, 1);
            return false;
        }
    }
    return true;
}

// Takes in what the host recorded and holds the new records against the
// ignore rules.
void refresh(lua_State *L) {
    ScriptState &st = state(L);
    Observer &obs = *st.observer;
    obs.poll();
    for (st.classified = std::max(st.classified, obs.first()); st.classified < obs.end(); ++st.classified) {
        Observation &o = obs.at(st.classified);
        for (auto &rule : st.ignores) {
            if (rule.stream != o.stream)
                continue;
            if (rule.pattern_ref == LUA_NOREF) {
                obs.set_ignored(o, true);
            } else {
                lua_rawgeti(L, LUA_REGISTRYINDEX, rule.pattern_ref);
                bool ignored = matches(L, -1, o);
                lua_pop(L, 1);
                obs.set_ignored(o, ignored);
            }
            if (o.ignored)
                break;
        }
    }
}

// Lets the run go on until the host has recorded something new or the
// deadline has come; false once the deadline has passed.
bool wait_for_more(lua_State *L, Ticks deadline) {
    Host &h = host_of(L);
    if (h.now() >= deadline)
        return false;
    Observer &obs = *state(L).observer;
    Ticks before = h.now();
    h.run_until([&] { return obs.poll() > 0; }, deadline - h.now());
    if (h.now() != before)
        state(L).hook_count = 0;
    return true;
}

bool in_scope(const ScriptState &st, const Observation &o) {
    for (auto &[key, value] : st.scope) {
        const FieldValue *v = o.field(key);
        const std::int64_t *i = v ? std::get_if<std::int64_t>(v) : nullptr;
        if (i && *i != 0 && *i != value)
            return false;
    }
    return true;
}

// Whether a record must meet the current expectation: outside a scope,
// every record; inside one, those that name the scope's call or link. A
// record that names no call (an event-log entry, a listen) may pass by.
bool strict(const ScriptState &st, const Observation &o) {
    if (st.scope.empty())
        return true;
    for (auto &[key, value] : st.scope) {
        const FieldValue *v = o.field(key);
        const std::int64_t *i = v ? std::get_if<std::int64_t>(v) : nullptr;
        if (i && *i == value)
            return true;
    }
    return false;
}

// The open records of `stream` (all streams when empty) that the current
// scope covers.
std::vector<Observation *> open_records(lua_State *L, std::string_view stream = {}) {
    ScriptState &st = state(L);
    auto open = st.observer->open(stream);
    if (!st.scope.empty())
        std::erase_if(open, [&](Observation *o) { return !in_scope(st, *o); });
    return open;
}

std::string open_list(lua_State *L, const std::string &stream, std::size_t max = 6) {
    auto open = open_records(L, stream);
    std::string out;
    for (std::size_t i = 0; i < open.size() && i < max; ++i)
        out += "\n    " + open[i]->describe();
    if (open.size() > max)
        out += "\n    ... and " + std::to_string(open.size() - max) + " more";
    return out;
}

Ticks within_arg(lua_State *L, int index, const char *fn) {
    if (lua_isnoneornil(L, index))
        return static_cast<Ticks>(kDefaultWithin * kTicksPerSecond);
    return arg_seconds(L, index, fn, "seconds to wait");
}

// The NT image's event hook records nothing, so there an event expectation
// stands for an entry the image cannot write: it is waived, and what it
// returns says so.
void push_waived(lua_State *L) {
    lua_newtable(L);
    lua_pushstring(L, "event");
    lua_setfield(L, -2, "stream");
    lua_pushboolean(L, 1);
    lua_setfield(L, -2, "waived");
}

int expect(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "expect";
        const StreamInfo &s = stream_arg(L, 1, fn);
        check_pattern(L, 2, s, fn);
        Ticks within = within_arg(L, 3, fn);
        Host &h = host_of(L);
        if (std::string_view(s.name) == "event" && !state(L).records_events) {
            h.settle();
            ++state(L).waived;
            push_waived(L);
            return 1;
        }
        Ticks deadline = h.now() + within;
        h.settle(); // what is runnable now happens before "now"
        for (;;) {
            refresh(L);
            for (Observation *o : open_records(L, s.name)) {
                if (!matches(L, 2, *o)) {
                    if (!strict(state(L), *o))
                        continue;
                    throw Failure("expected " + describe_pattern(L, 2, s.name) + "\n  got " + o->describe());
                }
                state(L).observer->consume(*o);
                ++state(L).expectations;
                push_observation(L, *o);
                return 1;
            }
            if (!wait_for_more(L, deadline))
                throw Failure("expected " + describe_pattern(L, 2, s.name) + " within " + seconds_text(within) +
                              "; nothing came");
        }
    });
}

// A group of expectations met in any order, but for the orders stated:
// an item's `after` names the items (by place in the group) that come
// before it; in a sequence each item comes after the one before it.
int expect_group(lua_State *L, const char *fn, bool sequence) {
    return guarded(L, [&] {
        if (!lua_istable(L, 1))
            throw ScriptError(std::string(fn) + " takes a list of {stream, pattern}, not " + type_of(L, 1));
        Ticks within = within_arg(L, 2, fn);
        struct Item {
            std::string stream;
            int pattern; // absolute stack index
            std::vector<std::size_t> after;
            Observation *got = nullptr;
        };
        std::vector<Item> items;
        lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, 1));
        std::string f = fn;
        if (n == 0)
            throw ScriptError(f + ": the group is empty");
        if (n > 1000 || !lua_checkstack(L, static_cast<int>(2 * n + 10)))
            throw ScriptError(f + ": a group holds at most 1000 items");
        for (lua_Integer i = 1; i <= n; ++i) {
            lua_rawgeti(L, 1, i);
            std::string which = f + ": item " + std::to_string(i);
            if (!lua_istable(L, -1))
                throw ScriptError(which + " should be {stream, pattern}");
            int item = lua_gettop(L);
            lua_pushnil(L);
            while (lua_next(L, item)) {
                lua_pop(L, 1);
                bool known = lua_isinteger(L, -1) ? lua_tointeger(L, -1) == 1 || lua_tointeger(L, -1) == 2
                                                  : lua_type(L, -1) == LUA_TSTRING && std::string(lua_tostring(L, -1)) == "after";
                if (!known)
                    throw ScriptError(which + " holds a stream, a pattern and `after`, not " +
                                      (lua_type(L, -1) == LUA_TSTRING ? "'" + std::string(lua_tostring(L, -1)) + "'"
                                                                       : type_of(L, -1)));
            }
            std::vector<std::size_t> after;
            if (sequence && i > 1)
                after.push_back(static_cast<std::size_t>(i - 2));
            lua_getfield(L, item, "after");
            if (!lua_isnil(L, -1)) {
                auto take = [&](int index) {
                    if (!lua_isinteger(L, index) || lua_tointeger(L, index) < 1 || lua_tointeger(L, index) > n ||
                        lua_tointeger(L, index) == i)
                        throw ScriptError(which + ": `after` names other items of the group by place, 1 to " +
                                          std::to_string(n));
                    after.push_back(static_cast<std::size_t>(lua_tointeger(L, index) - 1));
                };
                if (lua_istable(L, -1)) {
                    for (lua_Integer k = 1; k <= static_cast<lua_Integer>(lua_rawlen(L, -1)); ++k) {
                        lua_rawgeti(L, -1, k);
                        take(-1);
                        lua_pop(L, 1);
                    }
                } else {
                    take(-1);
                }
            }
            lua_pop(L, 1);
            lua_rawgeti(L, item, 1);
            const StreamInfo &s = stream_arg(L, lua_gettop(L), fn);
            lua_pop(L, 1);
            lua_rawgeti(L, item, 2);
            check_pattern(L, -1, s, fn);
            items.push_back({s.name, lua_gettop(L), std::move(after)});
        }
        Host &h = host_of(L);
        std::vector<bool> waived(items.size(), false);
        if (!state(L).records_events) {
            for (std::size_t i = 0; i < items.size(); ++i)
                waived[i] = items[i].stream == "event";
            // Orders stated against a waived item go with it; the others
            // follow their items to their new places.
            std::vector<std::size_t> place_of(items.size());
            std::size_t kept = 0;
            for (std::size_t i = 0; i < items.size(); ++i)
                place_of[i] = waived[i] ? items.size() : kept++;
            kept = 0;
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (waived[i])
                    continue;
                std::vector<std::size_t> after;
                for (std::size_t k : items[i].after)
                    if (place_of[k] != items.size())
                        after.push_back(place_of[k]);
                items[i].after = std::move(after);
                if (kept != i)
                    items[kept] = std::move(items[i]);
                ++kept;
            }
            items.resize(kept);
            state(L).waived += static_cast<std::size_t>(std::count(waived.begin(), waived.end(), true));
        }
        Ticks deadline = h.now() + within;
        auto describe_missing = [&] {
            std::string out;
            for (auto &it : items)
                if (!it.got)
                    out += "\n    " + describe_pattern(L, it.pattern, it.stream);
            return out;
        };
        // Records are placed by bipartite matching, so the outcome does not
        // hang on the order the script listed its items in.
        std::map<std::pair<std::size_t, std::uint64_t>, bool> fit_cache;
        auto fits = [&](std::size_t i, Observation *o) {
            auto key = std::make_pair(i, o->seq);
            auto it = fit_cache.find(key);
            if (it == fit_cache.end())
                it = fit_cache.emplace(key, items[i].stream == o->stream && matches(L, items[i].pattern, *o)).first;
            return it->second;
        };
        std::function<bool(Observation *, std::vector<bool> &)> place = [&](Observation *o, std::vector<bool> &seen) {
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (seen[i] || !fits(i, o))
                    continue;
                seen[i] = true;
                if (!items[i].got || place(items[i].got, seen)) {
                    items[i].got = o;
                    return true;
                }
            }
            return false;
        };
        std::set<std::uint64_t> placed;
        h.settle();
        for (;;) {
            refresh(L);
            for (auto *o : open_records(L)) {
                if (placed.count(o->seq))
                    continue;
                bool stream_open = std::any_of(items.begin(), items.end(),
                                               [&](auto &it) { return !it.got && it.stream == o->stream; });
                if (!stream_open)
                    continue; // none of the group's: it belongs to what comes after
                std::vector<bool> seen(items.size(), false);
                if (!place(o, seen)) {
                    if (!strict(state(L), *o))
                        continue;
                    throw Failure("expected, in any order:" + describe_missing() + "\n  got " + o->describe());
                }
                placed.insert(o->seq);
            }
            if (std::all_of(items.begin(), items.end(), [](auto &it) { return it.got != nullptr; }))
                break;
            if (!wait_for_more(L, deadline))
                throw Failure("expected, in any order, within " + seconds_text(within) + ":" + describe_missing() +
                              "\n  nothing more came");
        }
        // The orders the script stated.
        for (auto &it : items)
            for (std::size_t k : it.after)
                if (items[k].got->seq > it.got->seq)
                    throw Failure("expected " + describe_pattern(L, it.pattern, it.stream) + " after " +
                                  describe_pattern(L, items[k].pattern, items[k].stream) + "\n  got " +
                                  it.got->describe() + " (record " + std::to_string(it.got->seq) + ") before " +
                                  items[k].got->describe() + " (record " + std::to_string(items[k].got->seq) + ")");
        for (auto &it : items)
            state(L).observer->consume(*it.got);
        state(L).expectations += items.size();
        lua_newtable(L);
        for (std::size_t i = 0, k = 0; i < waived.size(); ++i) {
            if (waived[i])
                push_waived(L);
            else
                push_observation(L, *items[k++].got);
            lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
        }
        for (auto &it : items)
            state(L).observer->consume(*it.got);
        return 1;
    });
}

int expect_unordered(lua_State *L) { return expect_group(L, "expect_unordered", false); }
int expect_sequence(lua_State *L) { return expect_group(L, "expect_sequence", true); }

// scope{call = ..., link = ..., context = ..., hcom = ...}: expectations of
// one call or link. Their records are held strictly; another call's records
// (a different nonzero value under one of these fields) pass by, open.
int idle(lua_State *L);
int observations(lua_State *L);

const char *const kScopeFields[] = {"call", "link", "context", "hcom", "line"};

int scoped(lua_State *L) {
    // Upvalues: the scope's fields, then the function it wraps.
    ScriptState &st = state(L);
    std::vector<std::pair<std::string, std::int64_t>> fields;
    lua_pushnil(L);
    while (lua_next(L, lua_upvalueindex(1))) {
        fields.emplace_back(lua_tostring(L, -2), lua_tointeger(L, -1));
        lua_pop(L, 1);
    }
    auto saved = std::move(st.scope);
    st.scope = std::move(fields);
    lua_pushvalue(L, lua_upvalueindex(2));
    lua_insert(L, 1);
    int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
    st.scope = std::move(saved);
    if (status != LUA_OK)
        return lua_error(L);
    return lua_gettop(L);
}

int scope(lua_State *L) {
    return guarded(L, [&] {
        if (!lua_istable(L, 1))
            throw ScriptError("scope takes a table of a call's or link's handles, e.g. scope{call = c.htcall}");
        lua_newtable(L);
        int fields = lua_gettop(L);
        lua_pushnil(L);
        while (lua_next(L, 1)) {
            std::string key = lua_type(L, -2) == LUA_TSTRING ? lua_tostring(L, -2) : "";
            if (std::find(std::begin(kScopeFields), std::end(kScopeFields), key) == std::end(kScopeFields)) {
                std::vector<std::string> names(std::begin(kScopeFields), std::end(kScopeFields));
                throw ScriptError("scope: no field '" + key + "'" + did_you_mean(key, names) +
                                  " (fields: call, link, context, hcom, line)");
            }
            if (!lua_isinteger(L, -1))
                throw ScriptError("scope: field '" + key + "' should be a handle (an integer), not " + type_of(L, -1));
            lua_pushvalue(L, -2);
            lua_insert(L, -2);
            lua_rawset(L, fields);
        }
        static const std::pair<const char *, lua_CFunction> wrapped[] = {
            {"expect", expect},       {"expect_unordered", expect_unordered}, {"expect_sequence", expect_sequence},
            {"idle", idle},           {"observations", observations}};
        lua_newtable(L);
        for (auto &[name, fn] : wrapped) {
            lua_pushvalue(L, fields);
            lua_pushcfunction(L, fn);
            lua_pushcclosure(L, scoped, 2);
            lua_setfield(L, -2, name);
        }
        return 1;
    });
}

int ignore(lua_State *L) {
    return guarded(L, [&] {
        const StreamInfo &s = stream_arg(L, 1, "ignore");
        check_pattern(L, 2, s, "ignore");
        IgnoreRule rule;
        rule.id = state(L).next_ignore++;
        rule.stream = s.name;
        if (lua_istable(L, 2)) {
            // A copy: the script may reuse its table afterwards.
            lua_newtable(L);
            lua_pushnil(L);
            while (lua_next(L, 2)) {
                lua_pushvalue(L, -2);
                lua_insert(L, -2);
                lua_rawset(L, -4);
            }
            rule.pattern_ref = luaL_ref(L, LUA_REGISTRYINDEX);
        } else if (!lua_isnoneornil(L, 2)) {
            lua_pushvalue(L, 2);
            rule.pattern_ref = luaL_ref(L, LUA_REGISTRYINDEX);
        }
        state(L).ignores.push_back(rule);
        if (rule.pattern_ref == LUA_NOREF)
            state(L).observer->ignore_whole(rule.stream, +1);
        // It covers what is open already, whether or not the script has
        // looked at it yet.
        refresh(L);
        for (auto *o : state(L).observer->open(s.name)) {
            if (rule.pattern_ref == LUA_NOREF) {
                state(L).observer->set_ignored(*o, true);
            } else {
                lua_rawgeti(L, LUA_REGISTRYINDEX, rule.pattern_ref);
                bool ignored = matches(L, -1, *o);
                lua_pop(L, 1);
                state(L).observer->set_ignored(*o, ignored);
            }
        }
        lua_pushinteger(L, rule.id);
        return 1;
    });
}

int unignore(lua_State *L) {
    return guarded(L, [&] {
        auto id = arg_integer(L, 1, "unignore", "what ignore returned");
        refresh(L); // what came while the rule stood is judged by it
        auto &rules = state(L).ignores;
        auto it = std::find_if(rules.begin(), rules.end(), [&](auto &r) { return r.id == id; });
        if (it == rules.end())
            throw ScriptError("unignore: no ignore rule " + std::to_string(id));
        if (it->pattern_ref == LUA_NOREF)
            state(L).observer->ignore_whole(it->stream, -1);
        luaL_unref(L, LUA_REGISTRYINDEX, it->pattern_ref);
        rules.erase(it);
        return 0;
    });
}

int idle(lua_State *L) {
    return guarded(L, [&] {
        host_of(L).settle();
        refresh(L);
        if (!open_records(L).empty())
            throw Failure("idle, but nothing expected these:" + open_list(L, {}, 12));
        return 0;
    });
}

int check(lua_State *L) {
    return guarded(L, [&] {
        if (lua_isnone(L, 1))
            throw ScriptError("check: what should hold?");
        if (!lua_toboolean(L, 1)) {
            std::string what = lua_isstring(L, 2) ? lua_tostring(L, 2) : "a check did not hold";
            throw Failure(what);
        }
        return 0;
    });
}

int check_equal(lua_State *L) {
    return guarded(L, [&] {
        if (lua_isnone(L, 2))
            throw ScriptError("check_equal takes what was got, what was expected, and a note");
        if (!lua_rawequal(L, 1, 2) && !(lua_type(L, 1) == LUA_TNUMBER && lua_type(L, 2) == LUA_TNUMBER &&
                                         lua_tonumber(L, 1) == lua_tonumber(L, 2))) {
            std::string note = lua_isstring(L, 3) ? std::string(lua_tostring(L, 3)) + ": " : "";
            throw Failure(note + "got " + describe_value(L, 1) + ", expected " + describe_value(L, 2));
        }
        return 0;
    });
}

int fail(lua_State *L) {
    return guarded(L, [&]() -> int {
        throw Failure(lua_isstring(L, 1) ? lua_tostring(L, 1) : "the script failed");
    });
}

int note(lua_State *L) {
    // Converted and joined by Lua first: a __tostring that raises must find
    // no C++ object alive.
    int n = lua_gettop(L);
    luaL_checkstack(L, 2 * n + 1, "too many arguments");
    for (int i = 1; i <= n; ++i) {
        if (i > 1)
            lua_pushliteral(L, " ");
        luaL_tolstring(L, i, nullptr);
    }
    lua_concat(L, n == 0 ? 0 : 2 * n - 1);
    return guarded(L, [&] {
        std::size_t len = 0;
        const char *p = lua_tolstring(L, -1, &len);
        // Control bytes (a NUL ending a name, say) written as \xNN, so the
        // timeline stays text.
        std::string text;
        for (std::size_t i = 0; i < len; ++i) {
            auto c = static_cast<unsigned char>(p[i]);
            if (c < 0x20 || c == 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02x", c);
                text += esc;
            } else {
                text += static_cast<char>(c);
            }
        }
        host_of(L).trace().add(TraceKind::Note, std::move(text));
        return 0;
    });
}

int observations(lua_State *L) {
    return guarded(L, [&] {
        refresh(L);
        std::string stream;
        if (!lua_isnoneornil(L, 1))
            stream = stream_arg(L, 1, "observations").name;
        lua_newtable(L);
        lua_Integer i = 1;
        for (auto *o : open_records(L, stream)) {
            push_observation(L, *o);
            lua_rawseti(L, -2, i++);
        }
        return 1;
    });
}

int seed(lua_State *L) {
    lua_pushinteger(L, static_cast<lua_Integer>(host_of(L).options().seed));
    return 1;
}

// Predicate builders.
int contains_match(lua_State *L) {
    std::size_t n = 0, m = 0;
    const char *needle = lua_tolstring(L, lua_upvalueindex(1), &n);
    if (lua_type(L, 1) != LUA_TSTRING) {
        lua_pushboolean(L, false);
        return 1;
    }
    const char *hay = lua_tolstring(L, 1, &m);
    lua_pushboolean(L, std::string_view(hay, m).find(std::string_view(needle, n)) != std::string_view::npos);
    return 1;
}

int contains(lua_State *L) {
    return guarded(L, [&] {
        arg_string(L, 1, "contains", "a string");
        lua_pushvalue(L, 1);
        lua_pushcclosure(L, contains_match, 1);
        return 1;
    });
}

int one_of_match(lua_State *L) {
    int list = lua_upvalueindex(1);
    lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, list));
    for (lua_Integer i = 1; i <= n; ++i) {
        lua_rawgeti(L, list, i);
        bool same = lua_compare(L, -1, 1, LUA_OPEQ);
        lua_pop(L, 1);
        if (same) {
            lua_pushboolean(L, true);
            return 1;
        }
    }
    lua_pushboolean(L, false);
    return 1;
}

int one_of(lua_State *L) {
    int n = lua_gettop(L);
    lua_newtable(L);
    for (int i = 1; i <= n; ++i) {
        lua_pushvalue(L, i);
        lua_rawseti(L, -2, i);
    }
    lua_pushcclosure(L, one_of_match, 1);
    return 1;
}

} // namespace

// Every record left open fails the run; the end-of-script check.
void check_idle(lua_State *L) {
    refresh(L);
    if (!state(L).observer->open().empty())
        throw Failure("the script ended, but nothing expected these:" + open_list(L, {}, 12));
}

void open_expect(lua_State *L) {
    lua_register(L, "expect", expect);
    lua_register(L, "expect_unordered", expect_unordered);
    lua_register(L, "expect_sequence", expect_sequence);
    lua_register(L, "scope", scope);
    lua_register(L, "ignore", ignore);
    lua_register(L, "unignore", unignore);
    lua_register(L, "idle", idle);
    lua_register(L, "check", check);
    lua_register(L, "check_equal", check_equal);
    lua_register(L, "fail", fail);
    lua_register(L, "note", note);
    lua_register(L, "print", note);
    lua_register(L, "observations", observations);
    lua_register(L, "seed", seed);
    lua_register(L, "contains", contains);
    lua_register(L, "one_of", one_of);
}

} // namespace tolvanex::sim
