// Names of the published NDIS, NDIS WAN and TAPI values and of NT statuses,
// for the trace and for the tools that read or build requests.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime.h"

namespace tolvanex::host {

struct Named {
    const char *name;
    std::uint32_t value;
};

enum class NameTable : std::uint8_t { Oid, Status, CallState, DevState, Message, Other };
std::span<const Named> name_table(NameTable table);

// An unnamed value shows as hex (a message as "message N").
std::string status_name(std::uint32_t status);     // NDIS_STATUS_PENDING
std::string tapi_message_name(std::uint32_t msg);  // LINE_CALLSTATE
std::string call_state_name(std::uint32_t state);  // LINECALLSTATE_CONNECTED
std::string dev_state_names(std::uint32_t flags);  // LINEDEVSTATE_CONNECTED|LINEDEVSTATE_INSERVICE
// Flags of a family among the other TAPI names ("LINEADDRESSSTATE_"), joined with '|'.
std::string flag_names(std::string_view prefix, std::uint32_t flags);
// One value of a family ("LINEDISCONNECTMODE_"), or hex.
std::string value_name(std::string_view prefix, std::uint32_t value);
std::optional<std::string> oid_name(std::uint32_t oid);
// Any of the names above, back to its value.
std::optional<std::uint32_t> constant(std::string_view name);

} // namespace tolvanex::host
