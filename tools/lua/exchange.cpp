// exchange.*: the exchange that answers for the ISDN driver: parties, calls
// in, pacing, and the frames it sends.

#include "host_isdn.h"
#include "lua/bindings.h"
#include "lua/support.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

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

void open_exchange(lua_State *L) {
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
