// ndis.query and ndis.set: any OID the driver answers, its request built
// from named fields and its answer read back into named fields.

#include <cstring>
#include <set>

#include "host_ndis.h"
#include "lua/bindings.h"
#include "lua/support.h"
#include "ndis_records.h"
#include "suggest.h"

namespace tolvanex::sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Room given to a record the driver fills in (LINE_DEV_CAPS and the like)
// when the script does not say.
constexpr std::size_t kDefaultRoom = 1024;
// Buffer length of a request without a record.
constexpr std::size_t kDefaultLength = 256;

bool has_total_size(const RecordInfo &r) {
    return !r.fields.empty() && std::strcmp(r.fields[0].name, "ulTotalSize") == 0;
}

// A record the driver fills in: sized by ulTotalSize and given room. Call
// parameters carry a ulTotalSize too, but the caller fills them.
bool is_result_record(const RecordInfo &r) {
    return has_total_size(r) && std::strcmp(r.name, "LINE_CALL_PARAMS") != 0;
}

void put(Bytes &buf, std::size_t offset, std::size_t size, std::uint64_t v) {
    for (std::size_t i = 0; i < size && offset + i < buf.size(); ++i)
        buf[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t get(const Bytes &buf, std::size_t offset, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size && offset + i < buf.size(); ++i)
        v |= static_cast<std::uint64_t>(buf[offset + i]) << (8 * i);
    return v;
}

// "ulDeviceClassSize" -> "DeviceClass" when both ...Size and ...Offset exist.
std::vector<std::pair<std::string, std::pair<const RecordField *, const RecordField *>>>
variable_parts(const RecordInfo &r) {
    std::vector<std::pair<std::string, std::pair<const RecordField *, const RecordField *>>> out;
    for (auto &f : r.fields) {
        std::string_view n = f.name;
        if (!n.starts_with("ul") || !n.ends_with("Offset"))
            continue;
        std::string base(n.substr(2, n.size() - 8));
        if (const RecordField *size = r.field("ul" + base + "Size"))
            out.push_back({base, {size, &f}});
    }
    return out;
}

std::string field_list(const RecordInfo &r) {
    std::string out;
    for (auto &f : r.fields)
        out += (out.empty() ? "" : ", ") + std::string(f.name);
    for (auto &[name, pair] : variable_parts(r))
        out += ", " + name;
    return out;
}

// Text parts end in a NUL; user-user information, device-specific and
// configuration bytes are taken as given.
bool is_text(std::string_view name) {
    for (std::string_view word : {"Address", "Class", "Comment", "Party", "Name"})
        if (name.find(word) != std::string_view::npos)
            return true;
    return false;
}

// Lays the fields of the table at `table` into `buf` at `base`. Bytes of a
// variable part are placed after the request by the caller. Every field the
// script names goes into `given`, so that sizes and offsets it chose (right
// or deliberately wrong) are not filled in over it.
struct Pending {
    std::size_t size_offset, offset_offset, base;
    std::string size_name, offset_name, text;
    bool nul;
};

void encode(lua_State *L, int table, const RecordInfo &r, Bytes &buf, std::size_t base, const std::string &where,
            std::vector<Pending> &parts, std::optional<std::string> &tail, std::set<std::string> &given,
            const std::string &prefix) {
    table = lua_absindex(L, table);
    auto vars = variable_parts(r);
    lua_pushnil(L);
    while (lua_next(L, table)) {
        if (lua_type(L, -2) != LUA_TSTRING) {
            lua_pop(L, 2);
            throw ScriptError(where + ": field names are strings");
        }
        std::string key = lua_tostring(L, -2);
        if (prefix.empty() && (key == "length" || key == "room" || key == "fill")) {
            lua_pop(L, 1);
            continue;
        }
        given.insert(prefix + key);
        const RecordField *f = r.field(key);
        bool is_part = false;
        for (auto &[name, pair] : vars) {
            if (name == key) {
                if (lua_type(L, -1) != LUA_TSTRING) {
                    std::string t = type_of(L, -1);
                    lua_pop(L, 2);
                    throw ScriptError(where + ": " + key + " takes a string, not " + t);
                }
                std::size_t n = 0;
                const char *s = lua_tolstring(L, -1, &n);
                parts.push_back({base + pair.first->offset, base + pair.second->offset, base,
                                 prefix + pair.first->name, prefix + pair.second->name, std::string(s, n),
                                 is_text(name)});
                is_part = true;
            }
        }
        if (is_part) {
            lua_pop(L, 1);
            continue;
        }
        if (!f) {
            lua_pop(L, 2);
            std::vector<std::string> names;
            for (auto &field : r.fields)
                names.emplace_back(field.name);
            for (auto &[name, pair] : variable_parts(r))
                names.push_back(name);
            throw ScriptError(where + " has no field '" + key + "'" + did_you_mean(key, names) +
                              " (fields: " + field_list(r) + ")");
        }
        switch (f->kind) {
        case FieldKind::Scalar:
            if (lua_isboolean(L, -1)) {
                put(buf, base + f->offset, f->size, lua_toboolean(L, -1) ? 1 : 0);
            } else if (lua_isinteger(L, -1)) {
                lua_Integer v = lua_tointeger(L, -1);
                if (v < 0 || (f->size < 8 && static_cast<std::uint64_t>(v) >> (8 * f->size)) != 0) {
                    lua_pop(L, 2);
                    throw ScriptError(where + "." + key + " takes a whole number that fits " + std::to_string(f->size) +
                                      " bytes, not " + std::to_string(v));
                }
                put(buf, base + f->offset, f->size, static_cast<std::uint64_t>(v));
            } else {
                std::string t = type_of(L, -1);
                lua_pop(L, 2);
                throw ScriptError(where + "." + key + " takes a whole number, not " + t);
            }
            break;
        case FieldKind::Bytes:
        case FieldKind::Tail: {
            if (lua_type(L, -1) != LUA_TSTRING) {
                std::string t = type_of(L, -1);
                lua_pop(L, 2);
                throw ScriptError(where + "." + key + " takes a string, not " + t);
            }
            std::size_t n = 0;
            const char *s = lua_tolstring(L, -1, &n);
            if (f->kind == FieldKind::Tail) {
                tail = std::string(s, n);
            } else {
                if (n > f->size || base + f->offset + n > buf.size()) {
                    lua_pop(L, 2);
                    throw ScriptError(where + "." + key + " holds " + std::to_string(f->size) + " bytes");
                }
                std::memcpy(buf.data() + base + f->offset, s, n);
            }
            break;
        }
        case FieldKind::Record:
            if (!lua_istable(L, -1)) {
                std::string t = type_of(L, -1);
                lua_pop(L, 2);
                throw ScriptError(where + "." + key + " takes a table, not " + t);
            }
            encode(L, -1, *f->record, buf, base + f->offset, where + "." + key, parts, tail, given, prefix + key + ".");
            break;
        }
        lua_pop(L, 1);
    }
}

void push_record(lua_State *L, const RecordInfo &r, const Bytes &buf, std::size_t base, std::size_t limit);

void push_field(lua_State *L, const RecordField &f, const Bytes &buf, std::size_t base, std::size_t limit) {
    std::size_t at = base + f.offset;
    switch (f.kind) {
    case FieldKind::Scalar:
        if (at + f.size > limit)
            return;
        lua_pushinteger(L, static_cast<lua_Integer>(get(buf, at, f.size)));
        break;
    case FieldKind::Bytes:
        if (at + f.size > limit)
            return;
        lua_pushlstring(L, reinterpret_cast<const char *>(buf.data() + at), f.size);
        break;
    case FieldKind::Record:
        if (at >= limit)
            return;
        push_record(L, *f.record, buf, at, limit);
        break;
    case FieldKind::Tail:
        return;
    }
    lua_setfield(L, -2, f.name);
}

// Fields that fit below `limit`, and each variable part that lies wholly
// within the record's ulTotalSize (when it has one) and the buffer.
void push_record(lua_State *L, const RecordInfo &r, const Bytes &buf, std::size_t base, std::size_t limit) {
    lua_newtable(L);
    for (auto &f : r.fields)
        push_field(L, f, buf, base, limit);
    std::size_t end = limit;
    if (has_total_size(r) && base + 4 <= limit)
        end = std::min<std::size_t>(limit, base + get(buf, base, 4));
    for (auto &[name, pair] : variable_parts(r)) {
        std::size_t size = get(buf, base + pair.first->offset, 4), offset = get(buf, base + pair.second->offset, 4);
        if (size == 0 || offset == 0 || base + pair.second->offset + 4 > limit)
            continue;
        if (offset > end - base || size > end - base - offset)
            continue;
        lua_pushlstring(L, reinterpret_cast<const char *>(buf.data() + base + offset), size);
        lua_setfield(L, -2, name.c_str());
    }
}

int request(lua_State *L, bool is_query) {
    const char *fn = is_query ? "ndis.query" : "ndis.set";
    return guarded(L, [&] {
        ScriptState &st = state(L);
        if (!st.host->ndis().initialized() || st.host->ndis().halted())
            throw ScriptError(std::string(fn) + ": the adapter is not running");
        std::optional<OidInfo> oid;
        if (lua_isinteger(L, 1)) {
            lua_Integer v = lua_tointeger(L, 1);
            if (v < 0 || v > 0xFFFFFFFFLL)
                throw ScriptError(std::string(fn) + ": an OID is 32 bits, not " + std::to_string(v));
            oid = find_oid(static_cast<std::uint32_t>(v));
        }
        else if (lua_type(L, 1) == LUA_TSTRING)
            oid = find_oid(std::string_view(lua_tostring(L, 1)));
        else
            throw ScriptError(std::string(fn) + " takes an OID name or number first, not " + type_of(L, 1));
        if (!oid)
            throw ScriptError(std::string(fn) + ": unknown OID '" + lua_tostring(L, 1) + "'" +
                              did_you_mean(lua_tostring(L, 1), oid_names()));
        lua_settop(L, 2); // a missing field table becomes an empty one in slot 2
        bool has_fields = lua_istable(L, 2);
        if (!has_fields && !lua_isnoneornil(L, 2))
            throw ScriptError(std::string(fn) + " takes a table of fields second, not " + type_of(L, 2));
        if (!has_fields) {
            lua_newtable(L);
            lua_replace(L, 2);
        }
        std::optional<std::int64_t> length = field_integer(L, 2, "length", fn);
        std::optional<std::int64_t> room = field_integer(L, 2, "room", fn);
        if ((length && (*length < 0 || *length > 0xFFFF)) || (room && (*room < 0 || *room > 0xFFFF)))
            throw ScriptError(std::string(fn) + ": length and room lie between 0 and 65535");
        std::optional<std::int64_t> fill = field_integer(L, 2, "fill", fn);
        if (fill && (*fill < 0 || *fill > 0xFF))
            throw ScriptError(std::string(fn) + ": fill is a byte, 0 to 255");

        Bytes buf;
        const RecordInfo *r = oid->record;
        if (r) {
            // A record the driver fills gets `room` bytes (its ulTotalSize).
            std::size_t size = r->size;
            const RecordField *result = nullptr;
            for (auto &f : r->fields)
                if (f.kind == FieldKind::Record && is_result_record(*f.record) && f.offset + f.size == r->size)
                    result = &f;
            std::size_t room_bytes = room ? static_cast<std::size_t>(*room) : kDefaultRoom;
            if (result)
                size = result->offset + std::max(room_bytes, std::size_t{4});
            buf.assign(size, 0);
            // The record the driver fills may start out as `fill` bytes, so
            // a count it leaves alone shows apart from one it sets to 0.
            if (result && fill)
                std::fill(buf.begin() + static_cast<std::ptrdiff_t>(result->offset) + 4, buf.end(),
                          static_cast<std::uint8_t>(*fill));
            if (result)
                put(buf, result->offset, 4, room_bytes);
            for (auto &f : r->fields) // input records say how big they are
                if (f.kind == FieldKind::Record && has_total_size(*f.record) && &f != result)
                    put(buf, f.offset, 4, f.size);
            if (r->field("ulRequestID"))
                put(buf, r->field("ulRequestID")->offset, 4, st.next_request_id++);
            std::vector<Pending> parts;
            std::optional<std::string> tail;
            std::set<std::string> given;
            encode(L, 2, *r, buf, 0, oid->name, parts, tail, given, "");
            if (tail) {
                for (auto &f : r->fields) {
                    if (f.kind != FieldKind::Tail)
                        continue;
                    std::string_view name = f.name;
                    bool text = name.starts_with("sz");
                    buf.resize(f.offset);
                    buf.insert(buf.end(), tail->begin(), tail->end());
                    if (text)
                        buf.push_back(0);
                    // The tail's own count: ulXSize, or ulXTotalSize for room to fill.
                    std::string base(text ? name.substr(2) : name);
                    for (const std::string &count : {"ul" + base + "Size", "ul" + base + "TotalSize"})
                        if (const RecordField *g = r->field(count); g && !given.count(count)) {
                            put(buf, g->offset, 4, tail->size() + (text ? 1 : 0));
                            break;
                        }
                }
            }
            for (auto &p : parts) {
                // Variable bytes go after everything else.
                std::size_t at = buf.size();
                buf.insert(buf.end(), p.text.begin(), p.text.end());
                if (p.nul)
                    buf.push_back(0);
                if (!given.count(p.size_name))
                    put(buf, p.size_offset, 4, p.text.size() + (p.nul ? 1 : 0));
                if (!given.count(p.offset_name))
                    put(buf, p.offset_offset, 4, at - p.base);
                // Call parameters count their variable parts in ulTotalSize.
                std::string total = p.size_name.substr(0, p.size_name.rfind('.') + 1) + "ulTotalSize";
                if (p.base != 0 && !given.count(total))
                    put(buf, p.base, 4, buf.size() - p.base);
            }
        } else {
            check_keys(L, 2, fn, {"value", "data", "length"});
            auto value = field_integer(L, 2, "value", fn);
            auto data = field_string(L, 2, "data", fn);
            if (value && data)
                throw ScriptError(std::string(fn) + ": give value or data, not both");
            if (value && (*value < 0 || *value > 0xFFFFFFFFLL))
                throw ScriptError(std::string(fn) + ": value is 32 bits, not " + std::to_string(*value));
            if (value)
                put(buf = Bytes(4, 0), 0, 4, static_cast<std::uint64_t>(*value));
            else if (data)
                buf.assign(data->begin(), data->end());
            else if (is_query)
                buf.assign(kDefaultLength, 0);
        }
        std::size_t len = length ? static_cast<std::size_t>(*length) : buf.size();
        host::TapiAnswer a = is_query ? st.host->tapi().query(oid->oid, buf, len) : st.host->tapi().set(oid->oid, buf, len);

        lua_newtable(L);
        lua_pushinteger(L, static_cast<std::uint32_t>(a.status));
        lua_setfield(L, -2, "status");
        lua_pushstring(L, status_name(a.status).c_str());
        lua_setfield(L, -2, "status_name");
        lua_pushinteger(L, a.bytes_done);
        lua_setfield(L, -2, is_query ? "written" : "read");
        lua_pushinteger(L, a.bytes_needed);
        lua_setfield(L, -2, "needed");
        lua_pushlstring(L, reinterpret_cast<const char *>(a.buffer.data()), a.buffer.size());
        lua_setfield(L, -2, "data");
        if (r) {
            // Every field of the request as the driver left it.
            push_record(L, *r, a.buffer, 0, a.buffer.size());
            lua_pushnil(L);
            while (lua_next(L, -2)) {
                lua_pushvalue(L, -2);
                lua_insert(L, -2);
                lua_settable(L, -5);
            }
            lua_pop(L, 1);
        } else if (is_query && a.bytes_done <= a.buffer.size()) {
            if (a.bytes_done == 4) {
                lua_pushinteger(L, static_cast<lua_Integer>(get(a.buffer, 0, 4)));
                lua_setfield(L, -2, "value");
            }
            if (a.bytes_done % 4 == 0) {
                lua_newtable(L);
                for (std::size_t i = 0; i < a.bytes_done / 4; ++i) {
                    lua_pushinteger(L, static_cast<lua_Integer>(get(a.buffer, i * 4, 4)));
                    lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
                }
                lua_setfield(L, -2, "values");
            }
            lua_pushlstring(L, reinterpret_cast<const char *>(a.buffer.data()), a.bytes_done);
            lua_setfield(L, -2, "bytes");
        }
        return 1;
    });
}

int query(lua_State *L) { return request(L, true); }
int set(lua_State *L) { return request(L, false); }

int oids(lua_State *L) {
    lua_newtable(L);
    lua_Integer i = 1;
    for (auto &n : oid_names()) {
        lua_pushstring(L, n.c_str());
        lua_rawseti(L, -2, i++);
    }
    return 1;
}

int fields(lua_State *L) {
    return guarded(L, [&] {
        std::string name = arg_string(L, 1, "ndis.fields", "an OID name");
        auto oid = find_oid(std::string_view(name));
        if (!oid)
            throw ScriptError("ndis.fields: unknown OID '" + name + "'");
        lua_pushstring(L, oid->record ? field_list(*oid->record).c_str() : "value, data");
        return 1;
    });
}

int constant_of(lua_State *L) {
    return guarded(L, [&] {
        std::string name = arg_string(L, 1, "ndis.constant", "a constant's name");
        auto v = constant(name);
        if (!v)
            throw ScriptError("ndis.constant: unknown name '" + name + "'");
        lua_pushinteger(L, *v);
        return 1;
    });
}

} // namespace

// How many status indications the driver made and how many times it said
// NdisMIndicateStatusComplete, since the host started.
static int status_counts(lua_State *L) {
    return guarded(L, [&] {
        auto &ndis = state(L).host->ndis();
        lua_newtable(L);
        lua_pushinteger(L, static_cast<lua_Integer>(ndis.status_indications()));
        lua_setfield(L, -2, "indications");
        lua_pushinteger(L, static_cast<lua_Integer>(ndis.status_completes()));
        lua_setfield(L, -2, "completes");
        return 1;
    });
}

void open_ndis(lua_State *L) {
    static const luaL_Reg functions[] = {
        {"query", query},
        {"set", set},
        {"oids", oids},
        {"fields", fields},
        {"constant", constant_of},
        {"status_counts", status_counts},
        {nullptr, nullptr}};
    register_table(L, "ndis", functions);
}

} // namespace tolvanex::sim
