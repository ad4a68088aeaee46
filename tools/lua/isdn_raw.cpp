// Malformed input from below: isdn.queue_raw and isdn.answer_raw let a
// script hand the driver what a faulty ISDN driver could, byte for byte.

#include "host_isdn.h"
#include "lua/bindings.h"
#include "lua/support.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

std::uint8_t field_byte(lua_State *L, int table, const char *key, const char *fn, std::uint8_t fallback) {
    auto v = field_integer(L, table, key, fn);
    if (v && (*v < 0 || *v > 255))
        throw ScriptError(std::string(fn) + ": " + key + " is a byte (0 to 255), not " + std::to_string(*v));
    return v ? static_cast<std::uint8_t>(*v) : fallback;
}

std::optional<std::uint32_t> field_u32(lua_State *L, int table, const char *key, const char *fn) {
    auto v = field_integer(L, table, key, fn);
    if (v && (*v < 0 || *v > 0xFFFFFFFFLL))
        throw ScriptError(std::string(fn) + ": " + key + " fits 32 bits");
    if (!v)
        return std::nullopt;
    return static_cast<std::uint32_t>(*v);
}

std::uint8_t handle_arg(lua_State *L, int index, const char *fn) {
    if (lua_type(L, index) != LUA_TNUMBER || !lua_isinteger(L, index))
        throw ScriptError(std::string(fn) + ": argument " + std::to_string(index) + " should be a handle, not " +
                          type_of(L, index));
    auto h = lua_tointeger(L, index);
    if (h < 0 || h > 255)
        throw ScriptError(std::string(fn) + ": a handle is a byte");
    return static_cast<std::uint8_t>(h);
}

int isdn_queue_raw(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "isdn.queue_raw";
        std::uint8_t target = handle_arg(L, 1, fn);
        if (!lua_istable(L, 2))
            throw ScriptError(std::string(fn) + " takes a message table second, not " + type_of(L, 2));
        check_keys(L, 2, fn, {"code", "handle", "number", "cause", "data", "data_length", "status"});
        auto code = field_integer(L, 2, "code", fn);
        if (!code)
            throw ScriptError(std::string(fn) + ": the message needs a 'code' (0 to 255)");
        IsdnMessage m;
        m.code = field_byte(L, 2, "code", fn, 0);
        if (field_integer(L, 2, "handle", fn))
            m.handle = field_byte(L, 2, "handle", fn, 0);
        m.number = field_string(L, 2, "number", fn).value_or("");
        if (m.number.size() > ISDN_NUMBER_SIZE)
            throw ScriptError(std::string(fn) + ": a number fills at most " + std::to_string(ISDN_NUMBER_SIZE) +
                              " bytes, not " + std::to_string(m.number.size()));
        m.raw_number = true;
        m.cause = field_byte(L, 2, "cause", fn, 0);
        auto data = field_string(L, 2, "data", fn).value_or("");
        if (data.size() > ISDN_MAX_DATA)
            throw ScriptError(std::string(fn) + ": data holds at most " + std::to_string(ISDN_MAX_DATA) + " bytes");
        m.data.assign(data.begin(), data.end());
        if (auto n = field_integer(L, 2, "data_length", fn)) {
            if (*n < 0 || *n > 0xFFFF)
                throw ScriptError(std::string(fn) + ": data_length fits 16 bits (0 to 65535)");
            m.data_length = static_cast<std::uint16_t>(*n);
        }
        m.status = field_u32(L, 2, "status", fn).value_or(0);
        state(L).host->isdn().queue_message(target, m);
        return 0;
    });
}

int isdn_answer_raw(lua_State *L) {
    return guarded(L, [&] {
        const char *fn = "isdn.answer_raw";
        if (!lua_isinteger(L, 1) || lua_tointeger(L, 1) < 1)
            throw ScriptError(std::string(fn) + ": argument 1 should be a command's id, not " + type_of(L, 1));
        auto id = static_cast<std::uint64_t>(lua_tointeger(L, 1));
        if (!lua_istable(L, 2))
            throw ScriptError(std::string(fn) + " takes an answer table second, not " + type_of(L, 2));
        check_keys(L, 2, fn, {"status", "handle", "bytes", "at", "length"});
        IsdnRawAnswer a;
        a.status = field_u32(L, 2, "status", fn);
        if (field_integer(L, 2, "handle", fn))
            a.handle = field_byte(L, 2, "handle", fn, 0);
        auto bytes = field_string(L, 2, "bytes", fn).value_or("");
        a.bytes.assign(bytes.begin(), bytes.end());
        auto at = field_integer(L, 2, "at", fn).value_or(0);
        if (at < 0 || at > 0xFFFF)
            throw ScriptError(std::string(fn) + ": at is an offset in the block (0 to 65535)");
        a.at = static_cast<std::size_t>(at);
        a.length = field_u32(L, 2, "length", fn);
        state(L).host->isdn().answer_raw(id, a);
        return 0;
    });
}

} // namespace

void open_isdn_raw(lua_State *L) {
    lua_getglobal(L, "isdn");
    if (!lua_istable(L, -1))
        throw host::HostError("the isdn table is not there for the raw forms");
    lua_pushcfunction(L, isdn_queue_raw);
    lua_setfield(L, -2, "queue_raw");
    lua_pushcfunction(L, isdn_answer_raw);
    lua_setfield(L, -2, "answer_raw");
    lua_pop(L, 1);
}

} // namespace tolvanex::sim
