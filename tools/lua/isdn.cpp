// isdn.*: the scripted ISDN driver below the miniport: commands answered,
// messages queued, standing rules. Raw forms are in isdn_raw.cpp.

#include "host_isdn.h"
#include "lua/bindings.h"
#include "lua/support.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

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

} // namespace

void open_isdn(lua_State *L) {
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
}

} // namespace tolvanex::sim
