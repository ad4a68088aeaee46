// RAS as a user of the driver: it writes its port configuration to the
// registry and drives the TAPI provider through NDIS TAPI's requests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "ndis/ndistapi_model.h"

namespace tolvanex::host {

struct RasPort {
    std::string address; // e.g. "1-01-00"
    std::string usage;   // "Client", "Server" or "ClientAndServer"
};

class Ras {
  public:
    explicit Ras(Host &host) : host_(host) {}

    static constexpr const char *kKey = "\\Registry\\Machine\\Software\\Microsoft\\RAS\\TAPI DEVICES\\TOLVANEX";

    // Writes the RAS "Address" and "Usage" lists (each may be given alone).
    void configure(const std::vector<RasPort> &ports);
    void configure_lists(const std::optional<std::vector<std::string>> &addresses,
                         const std::optional<std::vector<std::string>> &usages);
    void remove_configuration();

    // The adapter's binding as the network setup records it: the "Route"
    // value of the driver service's Linkage key, one string per route (the
    // driver takes its adapter number from the digits of the last one).
    void configure_route(const std::vector<std::string> &route);

    // The user's side, one NDIS TAPI request each.
    TapiAnswer initialize(ULONG device_id_base, ULONG *line_count = nullptr);
    TapiAnswer open(ULONG device_id, HTAPI_LINE *htline_out = nullptr, HDRV_LINE *hdline_out = nullptr);
    TapiAnswer close(HDRV_LINE hdline);
    // With a comment the call parameters carry it; without, the defaults.
    TapiAnswer make_call(HDRV_LINE hdline, const std::string &dial, HDRV_CALL *hdcall_out = nullptr,
                         HTAPI_CALL *htcall_out = nullptr, const std::optional<std::string> &comment = {});
    TapiAnswer answer(HDRV_CALL hdcall);
    TapiAnswer drop(HDRV_CALL hdcall);
    TapiAnswer close_call(HDRV_CALL hdcall);

  private:
    Host &host_;
    ULONG request_id_ = 1;
};

// Raw bytes of a record, for building requests.
template <class T> std::vector<std::uint8_t> bytes_of(const T &record) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(&record);
    return std::vector<std::uint8_t>(p, p + sizeof(T));
}

} // namespace tolvanex::host
