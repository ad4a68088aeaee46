#include "ndis/ndistapi_model.h"

#include <algorithm>
#include <cstring>

#include "ndis/ndis_wrapper.h"
#include "ndiswan.h"
#include "check/names.h"
#include "check/trace.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace tolvanex::host {

namespace {

// Under AddressSanitizer the guard areas are poisoned while the handler
// runs, so a read past either end of the information buffer stops the run
// too, not only a write.
class GuardPoison {
  public:
    GuardPoison(std::uint8_t *area, std::size_t guard, std::size_t length, bool on)
        : area_(area), guard_(guard), length_(length), on_(on) {
#if defined(__SANITIZE_ADDRESS__)
        if (on_) {
            ASAN_POISON_MEMORY_REGION(area_, guard_);
            ASAN_POISON_MEMORY_REGION(area_ + guard_ + length_, guard_);
        }
#endif
    }
    ~GuardPoison() {
#if defined(__SANITIZE_ADDRESS__)
        if (on_)
            ASAN_UNPOISON_MEMORY_REGION(area_, guard_ + length_ + guard_);
#endif
    }
    GuardPoison(const GuardPoison &) = delete;
    GuardPoison &operator=(const GuardPoison &) = delete;

  private:
    std::uint8_t *area_;
    std::size_t guard_, length_;
    bool on_;
};

} // namespace

std::string NdisTapi::oid_name(NDIS_OID oid) { return host::oid_name(oid).value_or(hex32(oid)); }

std::string NdisTapi::message_name(ULONG msg) { return tapi_message_name(msg); }

TapiAnswer NdisTapi::query(NDIS_OID oid, std::vector<std::uint8_t> request, std::size_t length) {
    return call(true, oid, std::move(request), length);
}

TapiAnswer NdisTapi::set(NDIS_OID oid, std::vector<std::uint8_t> request, std::size_t length) {
    return call(false, oid, std::move(request), length);
}

TapiAnswer NdisTapi::call(bool is_query, NDIS_OID oid, std::vector<std::uint8_t> request, std::size_t length) {
    if (length == SIZE_MAX)
        length = request.size();
    if (length > 0xFFFFFF)
        throw HostError("request length " + std::to_string(length) + " is not plausible");
    // The information buffer sits between two guard areas; bytes of the
    // buffer beyond the request are zero, as NDIS TAPI allocates them.
    std::vector<std::uint8_t> area(kGuard + length + kGuard, kGuardByte);
    std::fill(area.begin() + kGuard, area.begin() + static_cast<std::ptrdiff_t>(kGuard + length), 0);
    if (!request.empty())
        std::memcpy(area.data() + kGuard, request.data(), std::min(length, request.size()));
    void *buffer = area.data() + kGuard;
    std::string name = oid_name(oid);
    rt::trace(TraceKind::Tapi, "tapi.request", "{op} {oid} ({length} bytes)",
              {tf::text("op", is_query ? "query" : "set"), tf::named("oid", oid, name),
               tf::num("length", static_cast<std::int64_t>(length))});
    HandlerResult r;
    {
        GuardPoison poison(area.data(), kGuard, length, poison_guards_);
        r = is_query ? host_.ndis().query(oid, buffer, static_cast<ULONG>(length))
                     : host_.ndis().set(oid, buffer, static_cast<ULONG>(length));
    }
    for (std::size_t i = 0; i < kGuard; ++i) {
        if (area[i] != kGuardByte || area[kGuard + length + i] != kGuardByte)
            rt::violation("request.buffer-overrun", name + " wrote outside its " + std::to_string(length) +
                                                        "-byte information buffer");
    }
    TapiAnswer a{r.status, r.bytes_done, r.bytes_needed,
                 std::vector<std::uint8_t>(area.begin() + kGuard, area.begin() + static_cast<std::ptrdiff_t>(kGuard + length))};
    rt::trace(TraceKind::Tapi, "tapi.answer",
              is_query ? "{oid} -> {status} written {done} needed {needed}" : "{oid} -> {status} read {done} needed {needed}",
              {tf::text("op", is_query ? "query" : "set"), tf::named("oid", oid, name),
               tf::named("status", static_cast<std::uint32_t>(a.status), status_name(static_cast<std::uint32_t>(a.status))),
               tf::num("done", a.bytes_done), tf::num("needed", a.bytes_needed)});
    return a;
}

void NdisTapi::indicate(void *buffer, unsigned size) {
    if (size < sizeof(NDIS_TAPI_EVENT))
        rt::violation("api.bad-argument", "TAPI indication with " + std::to_string(size) + " bytes");
    auto *e = static_cast<NDIS_TAPI_EVENT *>(buffer);
    if (e->ulMsg == LINE_NEWCALL)
        e->ulParam2 = new_htcall(); // TAPI answers with its handle for the call
    events_.push_back(TapiEvent{*e, host_.now(), host_.next_order()});
    // Each message's parameters by what they mean to it.
    TraceFields f{tf::named("msg", e->ulMsg, message_name(e->ulMsg)), tf::hex("line", e->htLine),
                  tf::hex("call", e->htCall)};
    std::string pattern = "{msg} line {line}";
    if (e->htCall)
        pattern += " call {call}";
    auto p1 = e->ulParam1, p2 = e->ulParam2, p3 = e->ulParam3;
    switch (e->ulMsg) {
    case LINE_CALLSTATE: {
        f.push_back(tf::named("state", p1, call_state_name(p1)));
        std::string detail = p1 == LINECALLSTATE_DISCONNECTED ? value_name("LINEDISCONNECTMODE_", p2)
                             : p1 == LINECALLSTATE_BUSY       ? flag_names("LINEBUSYMODE_", p2)
                             : p1 == LINECALLSTATE_DIALTONE   ? flag_names("LINEDIALTONEMODE_", p2)
                             : p2 == 0                         ? std::string("0")
                                                               : hex32(p2);
        f.push_back(tf::named("detail", p2, detail));
        f.push_back(tf::named("media", p3, p3 ? flag_names("LINEMEDIAMODE_", p3) : "0"));
        pattern += " {state}";
        if (p2)
            pattern += " {detail}";
        if (p3)
            pattern += " media {media}";
        break;
    }
    case LINE_LINEDEVSTATE:
        f.push_back(tf::named("devstate", p1, p1 ? dev_state_names(p1) : "0"));
        f.push_back(tf::hex("p2", p2));
        f.push_back(tf::hex("p3", p3));
        pattern += " {devstate}";
        if (p2 || p3)
            pattern += " p2 {p2} p3 {p3}";
        break;
    case LINE_ADDRESSSTATE:
        f.push_back(tf::num("address", p1));
        f.push_back(tf::named("addrstate", p2, p2 ? flag_names("LINEADDRESSSTATE_", p2) : "0"));
        pattern += " address {address} {addrstate}";
        break;
    case LINE_CALLINFO:
        f.push_back(tf::named("infostate", p1, p1 ? flag_names("LINECALLINFOSTATE_", p1) : "0"));
        pattern += " {infostate}";
        break;
    case LINE_NEWCALL:
        f.push_back(tf::hex("driver_call", p1));
        f.push_back(tf::hex("new_call", p2));
        pattern += " driver call {driver_call} -> call {new_call}";
        break;
    default:
        f.push_back(tf::hex("p1", p1));
        f.push_back(tf::hex("p2", p2));
        f.push_back(tf::hex("p3", p3));
        pattern += " p1 {p1} p2 {p2} p3 {p3}";
    }
    rt::trace(TraceKind::Status, "tapi.event", std::move(pattern), std::move(f));
}

} // namespace tolvanex::host
