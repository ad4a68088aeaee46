// The `tun` bindings: a call's two ends bridged to the Linux network stack
// (tun_bridge.h), and the bounded transfers a script runs across it.

#include <cmath>

#include "host_records.h"
#include "lua/bindings.h"
#include "lua/support.h"
#include "tun_bridge.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

constexpr const char *kBridgeKey = "tolvanex.tun";
constexpr double kMaxLimit = 600; // wall seconds any one transfer may take

struct BridgeBox {
    TunBridge *bridge = nullptr;
};

int box_gc(lua_State *L) {
    auto *box = static_cast<BridgeBox *>(lua_touserdata(L, 1));
    delete box->bridge; // stops the processes; the namespaces go with them
    box->bridge = nullptr;
    return 0;
}

BridgeBox *find_box(lua_State *L) {
    lua_getfield(L, LUA_REGISTRYINDEX, kBridgeKey);
    auto *box = static_cast<BridgeBox *>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return box;
}

TunBridge &bridge(lua_State *L, const char *fn) {
    BridgeBox *box = find_box(L);
    if (!box || !box->bridge)
        throw ScriptError(std::string(fn) + ": no bridge is open (tun.open first)");
    return *box->bridge;
}

TunSide side_field(lua_State *L, const char *fn) {
    std::string from = field_string(L, 1, "from", fn).value_or("wan");
    if (from == "wan")
        return TunSide::Wan;
    if (from == "party")
        return TunSide::Party;
    throw ScriptError(std::string(fn) + ": from is \"wan\" or \"party\", not '" + from + "'");
}

double limit_field(lua_State *L, const char *fn, double dflt) {
    double limit = field_number(L, 1, "limit", fn).value_or(dflt);
    if (!(limit > 0 && limit <= kMaxLimit))
        throw ScriptError(std::string(fn) + ": limit is 0 to 600 seconds of wall time");
    return limit;
}

void table_arg(lua_State *L, const char *fn, std::initializer_list<const char *> keys) {
    if (lua_isnoneornil(L, 1)) {
        lua_settop(L, 0);
        lua_newtable(L);
    }
    if (!lua_istable(L, 1))
        throw ScriptError(std::string(fn) + " takes a table, not " + type_of(L, 1));
    check_keys(L, 1, fn, keys);
}

// The bridge moved virtual time: the script is not looping.
void moved(lua_State *L) {
    state(L).hook_count = 0;
}

int tun_open(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "tun.open";
        table_arg(L, fn, {"link", "party"});
        auto link = field_integer(L, 1, "link", fn);
        auto party = field_string(L, 1, "party", fn);
        if (!link || *link < 0 || *link > 0xFFFFFFFF || !party)
            throw ScriptError("tun.open takes {link = the link's handle, party = the party's number}");
        BridgeBox *box = find_box(L);
        if (box && box->bridge)
            throw ScriptError("tun.open: a bridge is already open");
        if (!box) {
            box = static_cast<BridgeBox *>(lua_newuserdatauv(L, sizeof(BridgeBox), 0));
            new (box) BridgeBox{};
            lua_newtable(L);
            lua_pushcfunction(L, box_gc);
            lua_setfield(L, -2, "__gc");
            lua_setmetatable(L, -2);
            lua_setfield(L, LUA_REGISTRYINDEX, kBridgeKey);
        }
        try {
            box->bridge = new TunBridge(*state(L).host, static_cast<std::uint32_t>(*link), *party);
        } catch (const TunUnavailable &e) {
            throw ScriptError(std::string("tun.open: this machine does not allow TUN devices in network namespaces: ") +
                              e.what());
        } catch (const HostError &e) {
            throw ScriptError(std::string("tun.open: ") + e.what());
        }
        lua_newtable(L);
        set_str(L, "wan", kTunWanAddress);
        set_str(L, "party", kTunPartyAddress);
        set_int(L, "mtu", kTunMtu);
        set_str(L, "wan_namespace", box->bridge->namespace_id(TunSide::Wan));
        set_str(L, "party_namespace", box->bridge->namespace_id(TunSide::Party));
        return 1;
    });
}

int tun_ping(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "tun.ping";
        table_arg(L, fn, {"from", "count", "size", "interval", "limit"});
        TunSide from = side_field(L, fn);
        auto count = field_integer(L, 1, "count", fn).value_or(3);
        auto size = field_integer(L, 1, "size", fn).value_or(56);
        double interval = field_number(L, 1, "interval", fn).value_or(1);
        if (count < 1 || count > 100)
            throw ScriptError("tun.ping: count is 1 to 100");
        if (size < 0 || size > kTunMtu - 28)
            throw ScriptError("tun.ping: size is 0 to " + std::to_string(kTunMtu - 28) +
                              " bytes (the MTU less headers)");
        if (!(interval >= 0.2 && interval <= 10))
            throw ScriptError("tun.ping: interval is 0.2 to 10 seconds");
        double limit = limit_field(L, fn, static_cast<double>(count) * interval + 10);
        PingResult r = bridge(L, fn).ping(from, static_cast<int>(count), static_cast<int>(size), interval, limit);
        moved(L);
        for (auto &line : r.lines)
            state(L).host->trace().add(TraceKind::Note, "ping: " + line);
        lua_newtable(L);
        set_int(L, "transmitted", r.transmitted);
        set_int(L, "received", r.received);
        set_int(L, "status", r.status);
        lua_newtable(L);
        for (std::size_t i = 0; i < r.rtt_ms.size(); ++i) {
            lua_pushnumber(L, r.rtt_ms[i]);
            lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
        }
        lua_setfield(L, -2, "rtt");
        return 1;
    });
}

int tun_transfer(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "tun.transfer";
        table_arg(L, fn, {"from", "bytes", "limit"});
        TunSide from = side_field(L, fn);
        auto bytes = field_integer(L, 1, "bytes", fn).value_or(204800);
        if (bytes < 1 || bytes > 10'000'000)
            throw ScriptError("tun.transfer: bytes is 1 to 10000000");
        // At the line's rate, with room for slow start and the handshake.
        double limit = limit_field(L, fn, std::min(kMaxLimit, static_cast<double>(bytes) * 8 / 64000 * 2 + 20));
        TransferResult r = bridge(L, fn).transfer(from, static_cast<std::uint64_t>(bytes), limit);
        moved(L);
        lua_newtable(L);
        set_int(L, "bytes", static_cast<std::int64_t>(r.bytes));
        set_num(L, "seconds", r.seconds);
        set_num(L, "goodput", r.goodput);
        lua_pushboolean(L, r.complete);
        lua_setfield(L, -2, "complete");
        set_str(L, "detail", r.detail);
        return 1;
    });
}

int tun_carry(lua_State *L) {
    return guarded(L, [&] {
        double seconds = arg_number(L, 1, "tun.carry", "seconds of wall time");
        if (!(seconds >= 0 && seconds <= kMaxLimit))
            throw ScriptError("tun.carry: 0 to 600 seconds of wall time");
        bridge(L, "tun.carry").carry(seconds);
        if (seconds > 0)
            moved(L);
        return 0;
    });
}

int tun_stats(lua_State *L) {
    return guarded(L, [&] {
        TunBridge &b = bridge(L, "tun.stats");
        lua_newtable(L);
        for (auto [name, side] : {std::pair{"wan", TunSide::Wan}, std::pair{"party", TunSide::Party}}) {
            const TunCounters &c = b.counters(side);
            lua_newtable(L);
            set_int(L, "to_line_packets", static_cast<std::int64_t>(c.to_line_packets));
            set_int(L, "to_line_bytes", static_cast<std::int64_t>(c.to_line_bytes));
            set_int(L, "from_line_packets", static_cast<std::int64_t>(c.from_line_packets));
            set_int(L, "from_line_bytes", static_cast<std::int64_t>(c.from_line_bytes));
            set_int(L, "dropped", static_cast<std::int64_t>(c.dropped));
            lua_setfield(L, -2, name);
        }
        return 1;
    });
}

int tun_close(lua_State *L) {
    return guarded(L, [&] {
        if (BridgeBox *box = find_box(L)) {
            delete box->bridge;
            box->bridge = nullptr;
        }
        return 0;
    });
}

} // namespace

void open_tun(lua_State *L) {
    static const luaL_Reg tun[] = {{"open", tun_open},   {"ping", tun_ping},   {"transfer", tun_transfer},
                                   {"carry", tun_carry}, {"stats", tun_stats}, {"close", tun_close},
                                   {nullptr, nullptr}};
    register_table(L, "tun", tun);
}

} // namespace tolvanex::sim
