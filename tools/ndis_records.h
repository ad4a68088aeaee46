// The published NDIS WAN and NDIS TAPI records described field by field, and
// the names of OIDs, statuses and TAPI constants, so that a scenario can
// build any request by naming its fields and read any answer the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host_records.h"

namespace tolvanex::sim {

enum class FieldKind : std::uint8_t {
    Scalar, // a whole number of 1, 2, 4 or 8 bytes
    Bytes,  // a fixed array, read and written as a byte string
    Record, // a nested record
    Tail,   // a variable part that runs from here to the end of the request
};

struct RecordInfo;

struct RecordField {
    const char *name;
    std::size_t offset;
    std::size_t size;
    FieldKind kind;
    const RecordInfo *record; // FieldKind::Record only
};

struct RecordInfo {
    const char *name;
    std::size_t size;
    std::span<const RecordField> fields;
    const RecordField *field(std::string_view name) const;
};

using host::Named;

struct OidInfo {
    std::string name;
    std::uint32_t oid = 0;
    const RecordInfo *record = nullptr; // nullptr: the buffer is a value or a list
};

// By name ("OID_TAPI_OPEN"), or a number written as in C ("0x10").
std::optional<OidInfo> find_oid(std::string_view name);
std::optional<OidInfo> find_oid(std::uint32_t oid);
std::vector<std::string> oid_names();

// Names of values (host/check/names.h); an unnamed value shows as hex.
using host::call_state_name;
using host::constant;
using host::dev_state_names;
using host::status_name;
using host::tapi_message_name;

} // namespace tolvanex::sim
