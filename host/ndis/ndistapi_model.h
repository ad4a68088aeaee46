// NDIS TAPI as the driver meets it: requests laid out in buffers exactly as
// NDIS TAPI builds them (with guard bytes around, so a write past the end is
// caught), TAPI's handles, and every event the driver indicates.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host.h"
#include "ndis.h"
#include "ndistapi.h"

namespace tolvanex::host {

struct TapiAnswer {
    NDIS_STATUS status = 0;
    ULONG bytes_done = 0; // written (query) or read (set)
    ULONG bytes_needed = 0;
    std::vector<std::uint8_t> buffer; // the request buffer after the call
};

struct TapiEvent {
    NDIS_TAPI_EVENT event{};
    Ticks time = 0;
    std::uint64_t order = 0; // Host::next_order
};

class NdisTapi {
  public:
    explicit NdisTapi(Host &host) : host_(host) {}

    static constexpr std::size_t kGuard = 64;
    static constexpr std::uint8_t kGuardByte = 0xA5;

    // Calls the query or set handler with `request` as the information
    // buffer of `length` bytes (default: the request's size).
    TapiAnswer query(NDIS_OID oid, std::vector<std::uint8_t> request, std::size_t length = SIZE_MAX);
    TapiAnswer set(NDIS_OID oid, std::vector<std::uint8_t> request, std::size_t length = SIZE_MAX);

    // TAPI's handles: a fresh htLine for each open, a fresh htCall for each
    // call TAPI makes or is offered.
    HTAPI_LINE new_htline() { return next_htline_++; }
    HTAPI_CALL new_htcall() { return next_htcall_++; }

    const std::vector<TapiEvent> &events() const { return events_; }

    // Under AddressSanitizer the guard areas are also poisoned, so a read
    // past the buffer stops the run; a test of the guard check itself turns
    // that off to see the host's own report.
    void set_poison_guards(bool on) { poison_guards_ = on; }

    // Back-end of NDIS_STATUS_TAPI_INDICATION.
    void indicate(void *buffer, unsigned size);

    static std::string oid_name(NDIS_OID oid);
    static std::string message_name(ULONG msg);

  private:
    TapiAnswer call(bool is_query, NDIS_OID oid, std::vector<std::uint8_t> request, std::size_t length);
    Host &host_;
    std::vector<TapiEvent> events_;
    bool poison_guards_ = true;
    HTAPI_LINE next_htline_ = 0x7100;
    HTAPI_CALL next_htcall_ = 0x7C00;
};

} // namespace tolvanex::host
