// wan.*: NDISWAN's side of a link: frames sent, links up, receives refused.

#include "host_ndis.h"
#include "host_records.h"
#include "lua/bindings.h"
#include "lua/support.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

// A named status straight from the name table, without a string per frame.
void push_status_name(lua_State *L, std::uint32_t status) {
    for (const Named &n : name_table(NameTable::Status))
        if (n.value == status) {
            lua_pushstring(L, n.name);
            return;
        }
    lua_pushstring(L, status_name(status).c_str());
}

int wan_send(lua_State *L) {
    return running(L, "wan.send", [&] {
        std::uint32_t link = arg_u32(L, 1, "wan.send", "the link's handle");
        if (lua_type(L, 2) != LUA_TSTRING)
            arg_string(L, 2, "wan.send", "the frame's bytes"); // says what is wrong
        // The script's string stays on the stack while the send runs: the
        // packet takes its bytes straight from it.
        std::size_t size = 0;
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(lua_tolstring(L, 2, &size));
        std::uint64_t id = host_of(L).ndiswan().send(link, bytes, size);
        const SentPacket &p = host_of(L).ndiswan().packets().back();
        lua_pushinteger(L, static_cast<lua_Integer>(id));
        push_status_name(L, p.send_status);
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

} // namespace

void open_wan(lua_State *L) {
    static const luaL_Reg wan[] = {{"send", wan_send},
                                   {"links", wan_links},
                                   {"refuse_receives", wan_refuse_receives},
                                   {"pending", wan_pending},
                                   {nullptr, nullptr}};
    register_table(L, "wan", wan);
}

} // namespace tolvanex::sim
