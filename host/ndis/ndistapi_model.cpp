#include "ndis/ndistapi_model.h"

#include <algorithm>
#include <cstring>

#include "ndis/ndis_wrapper.h"
#include "ndiswan.h"
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

std::string NdisTapi::oid_name(NDIS_OID oid) {
    static const std::pair<NDIS_OID, const char *> names[] = {
        {OID_TAPI_ACCEPT, "ACCEPT"},
        {OID_TAPI_ANSWER, "ANSWER"},
        {OID_TAPI_CLOSE, "CLOSE"},
        {OID_TAPI_CLOSE_CALL, "CLOSE_CALL"},
        {OID_TAPI_CONDITIONAL_MEDIA_DETECTION, "CONDITIONAL_MEDIA_DETECTION"},
        {OID_TAPI_CONFIG_DIALOG, "CONFIG_DIALOG"},
        {OID_TAPI_DEV_SPECIFIC, "DEV_SPECIFIC"},
        {OID_TAPI_DIAL, "DIAL"},
        {OID_TAPI_DROP, "DROP"},
        {OID_TAPI_GET_ADDRESS_CAPS, "GET_ADDRESS_CAPS"},
        {OID_TAPI_GET_ADDRESS_ID, "GET_ADDRESS_ID"},
        {OID_TAPI_GET_ADDRESS_STATUS, "GET_ADDRESS_STATUS"},
        {OID_TAPI_GET_CALL_ADDRESS_ID, "GET_CALL_ADDRESS_ID"},
        {OID_TAPI_GET_CALL_INFO, "GET_CALL_INFO"},
        {OID_TAPI_GET_CALL_STATUS, "GET_CALL_STATUS"},
        {OID_TAPI_GET_DEV_CAPS, "GET_DEV_CAPS"},
        {OID_TAPI_GET_DEV_CONFIG, "GET_DEV_CONFIG"},
        {OID_TAPI_GET_EXTENSION_ID, "GET_EXTENSION_ID"},
        {OID_TAPI_GET_ID, "GET_ID"},
        {OID_TAPI_GET_LINE_DEV_STATUS, "GET_LINE_DEV_STATUS"},
        {OID_TAPI_MAKE_CALL, "MAKE_CALL"},
        {OID_TAPI_NEGOTIATE_EXT_VERSION, "NEGOTIATE_EXT_VERSION"},
        {OID_TAPI_OPEN, "OPEN"},
        {OID_TAPI_PROVIDER_INITIALIZE, "PROVIDER_INITIALIZE"},
        {OID_TAPI_PROVIDER_SHUTDOWN, "PROVIDER_SHUTDOWN"},
        {OID_TAPI_SECURE_CALL, "SECURE_CALL"},
        {OID_TAPI_SELECT_EXT_VERSION, "SELECT_EXT_VERSION"},
        {OID_TAPI_SEND_USER_USER_INFO, "SEND_USER_USER_INFO"},
        {OID_TAPI_SET_APP_SPECIFIC, "SET_APP_SPECIFIC"},
        {OID_TAPI_SET_CALL_PARAMS, "SET_CALL_PARAMS"},
        {OID_TAPI_SET_DEFAULT_MEDIA_DETECTION, "SET_DEFAULT_MEDIA_DETECTION"},
        {OID_TAPI_SET_DEV_CONFIG, "SET_DEV_CONFIG"},
        {OID_TAPI_SET_MEDIA_MODE, "SET_MEDIA_MODE"},
        {OID_TAPI_SET_STATUS_MESSAGES, "SET_STATUS_MESSAGES"},
    };
    for (auto &[code, name] : names)
        if (code == oid)
            return std::string("OID_TAPI_") + name;
    static const std::pair<NDIS_OID, const char *> others[] = {
        {OID_GEN_SUPPORTED_LIST, "OID_GEN_SUPPORTED_LIST"},
        {OID_GEN_HARDWARE_STATUS, "OID_GEN_HARDWARE_STATUS"},
        {OID_GEN_MEDIA_SUPPORTED, "OID_GEN_MEDIA_SUPPORTED"},
        {OID_GEN_MEDIA_IN_USE, "OID_GEN_MEDIA_IN_USE"},
        {OID_GEN_MAXIMUM_LOOKAHEAD, "OID_GEN_MAXIMUM_LOOKAHEAD"},
        {OID_GEN_MAXIMUM_FRAME_SIZE, "OID_GEN_MAXIMUM_FRAME_SIZE"},
        {OID_GEN_LINK_SPEED, "OID_GEN_LINK_SPEED"},
        {OID_GEN_TRANSMIT_BUFFER_SPACE, "OID_GEN_TRANSMIT_BUFFER_SPACE"},
        {OID_GEN_RECEIVE_BUFFER_SPACE, "OID_GEN_RECEIVE_BUFFER_SPACE"},
        {OID_GEN_TRANSMIT_BLOCK_SIZE, "OID_GEN_TRANSMIT_BLOCK_SIZE"},
        {OID_GEN_RECEIVE_BLOCK_SIZE, "OID_GEN_RECEIVE_BLOCK_SIZE"},
        {OID_GEN_VENDOR_ID, "OID_GEN_VENDOR_ID"},
        {OID_GEN_VENDOR_DESCRIPTION, "OID_GEN_VENDOR_DESCRIPTION"},
        {OID_GEN_CURRENT_PACKET_FILTER, "OID_GEN_CURRENT_PACKET_FILTER"},
        {OID_GEN_CURRENT_LOOKAHEAD, "OID_GEN_CURRENT_LOOKAHEAD"},
        {OID_GEN_DRIVER_VERSION, "OID_GEN_DRIVER_VERSION"},
        {OID_GEN_MAXIMUM_TOTAL_SIZE, "OID_GEN_MAXIMUM_TOTAL_SIZE"},
        {OID_GEN_PROTOCOL_OPTIONS, "OID_GEN_PROTOCOL_OPTIONS"},
        {OID_GEN_MAC_OPTIONS, "OID_GEN_MAC_OPTIONS"},
        {OID_GEN_XMIT_OK, "OID_GEN_XMIT_OK"},
        {OID_GEN_RCV_OK, "OID_GEN_RCV_OK"},
        {OID_GEN_XMIT_ERROR, "OID_GEN_XMIT_ERROR"},
        {OID_GEN_RCV_ERROR, "OID_GEN_RCV_ERROR"},
        {OID_GEN_RCV_NO_BUFFER, "OID_GEN_RCV_NO_BUFFER"},
        {OID_PRIVATE_RECONFIGURE, "OID_PRIVATE_RECONFIGURE"},
        {OID_PRIVATE_RESERVED, "OID_PRIVATE_RESERVED"},
        {OID_WAN_PERMANENT_ADDRESS, "OID_WAN_PERMANENT_ADDRESS"},
        {OID_WAN_CURRENT_ADDRESS, "OID_WAN_CURRENT_ADDRESS"},
        {OID_WAN_QUALITY_OF_SERVICE, "OID_WAN_QUALITY_OF_SERVICE"},
        {OID_WAN_PROTOCOL_TYPE, "OID_WAN_PROTOCOL_TYPE"},
        {OID_WAN_MEDIUM_SUBTYPE, "OID_WAN_MEDIUM_SUBTYPE"},
        {OID_WAN_HEADER_FORMAT, "OID_WAN_HEADER_FORMAT"},
        {OID_WAN_GET_INFO, "OID_WAN_GET_INFO"},
        {OID_WAN_SET_LINK_INFO, "OID_WAN_SET_LINK_INFO"},
        {OID_WAN_GET_LINK_INFO, "OID_WAN_GET_LINK_INFO"},
        {OID_WAN_LINE_COUNT, "OID_WAN_LINE_COUNT"},
        {OID_WAN_GET_BRIDGE_INFO, "OID_WAN_GET_BRIDGE_INFO"},
        {OID_WAN_SET_BRIDGE_INFO, "OID_WAN_SET_BRIDGE_INFO"},
        {OID_WAN_GET_COMP_INFO, "OID_WAN_GET_COMP_INFO"},
        {OID_WAN_SET_COMP_INFO, "OID_WAN_SET_COMP_INFO"},
    };
    for (auto &[code, name] : others)
        if (code == oid)
            return name;
    return hex32(oid);
}

std::string NdisTapi::message_name(ULONG msg) {
    switch (msg) {
    case LINE_ADDRESSSTATE: return "LINE_ADDRESSSTATE";
    case LINE_CALLINFO: return "LINE_CALLINFO";
    case LINE_CALLSTATE: return "LINE_CALLSTATE";
    case LINE_CLOSE: return "LINE_CLOSE";
    case LINE_LINEDEVSTATE: return "LINE_LINEDEVSTATE";
    case LINE_NEWCALL: return "LINE_NEWCALL";
    default: return "message " + std::to_string(msg);
    }
}

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
    rt::trace(TraceKind::Tapi, std::string(is_query ? "query " : "set ") + name + " (" + std::to_string(length) +
                                   " bytes)");
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
    rt::trace(TraceKind::Tapi, name + " -> " + hex32(static_cast<std::uint32_t>(a.status)) + " " +
                                   (is_query ? "written " : "read ") + std::to_string(a.bytes_done) + " needed " +
                                   std::to_string(a.bytes_needed));
    return a;
}

void NdisTapi::indicate(void *buffer, unsigned size) {
    if (size < sizeof(NDIS_TAPI_EVENT))
        rt::violation("api.bad-argument", "TAPI indication with " + std::to_string(size) + " bytes");
    auto *e = static_cast<NDIS_TAPI_EVENT *>(buffer);
    if (e->ulMsg == LINE_NEWCALL)
        e->ulParam2 = new_htcall(); // TAPI answers with its handle for the call
    events_.push_back(TapiEvent{*e, host_.now(), host_.next_order()});
    rt::trace(TraceKind::Status, message_name(e->ulMsg) + " htLine " + hex32(e->htLine) + " htCall " +
                                     hex32(e->htCall) + " p1 " + hex32(e->ulParam1) + " p2 " + hex32(e->ulParam2) +
                                     " p3 " + hex32(e->ulParam3));
}

} // namespace tolvanex::host
