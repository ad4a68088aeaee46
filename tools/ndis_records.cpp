#include "host.h"
#include "ndis_records.h"

#include <cstdlib>
#include <cstring>

#include "ndis.h"
#include "ndistapi.h"
#include "ndiswan.h"

namespace tolvanex::sim {

using host::hex32;

namespace {
#include "ndis_tables.inc"

// Requests whose record is not named after the OID.
struct OidRecord {
    std::uint32_t oid;
    const RecordInfo *record;
};
const OidRecord kWanRecords[] = {
    {OID_WAN_GET_INFO, &kNDIS_WAN_INFO},
    {OID_WAN_GET_LINK_INFO, &kNDIS_WAN_GET_LINK_INFO},
    {OID_WAN_SET_LINK_INFO, &kNDIS_WAN_SET_LINK_INFO},
};

const RecordInfo *record_named(std::string_view name) {
    for (auto *r : kRecords)
        if (name == r->name)
            return r;
    return nullptr;
}

OidInfo info_for(const Named &n) {
    OidInfo info{n.name, n.value, nullptr};
    for (auto &w : kWanRecords)
        if (w.oid == n.value)
            info.record = w.record;
    std::string_view name = n.name;
    if (name.starts_with("OID_TAPI_"))
        info.record = record_named("NDIS_TAPI_" + std::string(name.substr(9)));
    return info;
}

} // namespace

const RecordField *RecordInfo::field(std::string_view wanted) const {
    for (auto &f : fields)
        if (wanted == f.name)
            return &f;
    return nullptr;
}

std::optional<OidInfo> find_oid(std::string_view name) {
    for (auto &n : host::name_table(host::NameTable::Oid))
        if (name == n.name)
            return info_for(n);
    if (name.starts_with("0x") || name.starts_with("0X")) {
        std::string text(name);
        char *end = nullptr;
        unsigned long v = std::strtoul(text.c_str() + 2, &end, 16);
        if (text.size() > 2 && end && !*end && v <= 0xFFFFFFFFul)
            return find_oid(static_cast<std::uint32_t>(v));
    }
    return std::nullopt;
}

std::optional<OidInfo> find_oid(std::uint32_t oid) {
    for (auto &n : host::name_table(host::NameTable::Oid))
        if (n.value == oid)
            return info_for(n);
    return OidInfo{hex32(oid), oid, nullptr};
}

std::vector<std::string> oid_names() {
    std::vector<std::string> out;
    for (auto &n : host::name_table(host::NameTable::Oid))
        out.push_back(n.name);
    return out;
}

} // namespace tolvanex::sim
