#include "check/names.h"

#include "host.h"
#include "ndis.h"
#include "ndistapi.h"
#include "ndiswan.h"

namespace tolvanex::host {

namespace {
#include "ndis_names.inc"

// The NT statuses the host's I/O answers with.
constexpr Named kNtStatusNames[] = {
    {"STATUS_SUCCESS", 0x00000000},
    {"STATUS_PENDING", 0x00000103},
    {"STATUS_UNSUCCESSFUL", 0xC0000001},
    {"STATUS_INVALID_HANDLE", 0xC0000008},
    {"STATUS_INVALID_PARAMETER", 0xC000000D},
    {"STATUS_INVALID_DEVICE_REQUEST", 0xC0000010},
    {"STATUS_ACCESS_DENIED", 0xC0000022},
    {"STATUS_BUFFER_TOO_SMALL", 0xC0000023},
    {"STATUS_OBJECT_NAME_INVALID", 0xC0000033},
    {"STATUS_OBJECT_NAME_NOT_FOUND", 0xC0000034},
    {"STATUS_OBJECT_NAME_COLLISION", 0xC0000035},
    {"STATUS_OBJECT_PATH_NOT_FOUND", 0xC000003A},
    {"STATUS_INSUFFICIENT_RESOURCES", 0xC000009A},
    {"STATUS_CANCELLED", 0xC0000120},
    {"STATUS_INVALID_DEVICE_STATE", 0xC0000184},
};

template <std::size_t N> const char *name_of(const Named (&table)[N], std::uint32_t v) {
    for (auto &n : table)
        if (n.value == v)
            return n.name;
    return nullptr;
}

std::string joined_flags(std::span<const Named> table, std::string_view prefix, std::uint32_t flags) {
    std::string out;
    for (auto &n : table) {
        if (!std::string_view(n.name).starts_with(prefix) || (flags & n.value) == 0 ||
            (n.value & (n.value - 1)) != 0)
            continue;
        if (!out.empty())
            out += '|';
        out += n.name;
        flags &= ~n.value;
    }
    if (flags) {
        if (!out.empty())
            out += '|';
        out += hex32(flags);
    }
    return out;
}
} // namespace

std::span<const Named> name_table(NameTable table) {
    switch (table) {
    case NameTable::Oid: return kOidNames;
    case NameTable::Status: return kStatusNames;
    case NameTable::CallState: return kCallStateNames;
    case NameTable::DevState: return kDevStateNames;
    case NameTable::Message: return kMessageNames;
    case NameTable::Other: return kOtherNames;
    }
    return {};
}

std::string status_name(std::uint32_t status) {
    const char *n = name_of(kStatusNames, status);
    return n ? n : hex32(status);
}

std::string nt_status_name(std::uint32_t status) {
    const char *n = name_of(kNtStatusNames, status);
    return n ? n : hex32(status);
}

std::string tapi_message_name(std::uint32_t msg) {
    const char *n = name_of(kMessageNames, msg);
    return n ? n : "message " + std::to_string(msg);
}

std::string call_state_name(std::uint32_t state) {
    const char *n = name_of(kCallStateNames, state);
    return n ? n : hex32(state);
}

std::string dev_state_names(std::uint32_t flags) { return joined_flags(kDevStateNames, "LINEDEVSTATE_", flags); }

std::string flag_names(std::string_view prefix, std::uint32_t flags) { return joined_flags(kOtherNames, prefix, flags); }

std::string value_name(std::string_view prefix, std::uint32_t value) {
    for (auto &n : kOtherNames)
        if (n.value == value && std::string_view(n.name).starts_with(prefix))
            return n.name;
    return hex32(value);
}

std::optional<std::string> oid_name(std::uint32_t oid) {
    const char *n = name_of(kOidNames, oid);
    return n ? std::optional<std::string>(n) : std::nullopt;
}

std::optional<std::uint32_t> constant(std::string_view name) {
    for (auto table : {NameTable::Oid, NameTable::Status, NameTable::CallState, NameTable::DevState, NameTable::Message,
                       NameTable::Other})
        for (auto &n : name_table(table))
            if (name == n.name)
                return n.value;
    return std::nullopt;
}

} // namespace tolvanex::host
