#include "ndis/ras_model.h"

#include "nt/registry.h"
#include "ndis/tapi_requests.h"
#include "check/trace.h"

namespace tolvanex::host {

void Ras::configure(const std::vector<RasPort> &ports) {
    std::vector<std::string> addresses, usages;
    for (auto &p : ports) {
        addresses.push_back(p.address);
        usages.push_back(p.usage);
    }
    configure_lists(addresses, usages);
}

void Ras::configure_lists(const std::optional<std::vector<std::string>> &addresses,
                          const std::optional<std::vector<std::string>> &usages) {
    Registry &reg = host_.registry();
    reg.create_key(kKey, true);
    if (addresses)
        reg.set_multi_sz(kKey, "Address", *addresses);
    if (usages)
        reg.set_multi_sz(kKey, "Usage", *usages);
    rt::trace(TraceKind::Registry, "RAS configured " + std::to_string(addresses ? addresses->size() : 0) +
                                       " address(es), " + std::to_string(usages ? usages->size() : 0) + " usage(s)");
}

void Ras::remove_configuration() {
    if (host_.registry().key_exists(kKey))
        host_.registry().delete_key(kKey);
}

void Ras::configure_route(const std::vector<std::string> &route) {
    std::string linkage = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                          host_.options().service_name + "\\Linkage";
    host_.registry().set_multi_sz(linkage, "Route", route);
    rt::trace(TraceKind::Registry, "adapter bound with " + std::to_string(route.size()) + " route(s)");
}

TapiAnswer Ras::initialize(ULONG device_id_base, ULONG *line_count) {
    TapiAnswer a =
        host_.tapi().query(OID_TAPI_PROVIDER_INITIALIZE, tapi::provider_initialize(request_id_++, device_id_base));
    if (line_count && a.buffer.size() >= sizeof(NDIS_TAPI_PROVIDER_INITIALIZE))
        *line_count = tapi::record_at<NDIS_TAPI_PROVIDER_INITIALIZE>(a.buffer).ulNumLineDevs;
    return a;
}

TapiAnswer Ras::open(ULONG device_id, HTAPI_LINE *htline_out, HDRV_LINE *hdline_out) {
    HTAPI_LINE htline = host_.tapi().new_htline();
    if (htline_out)
        *htline_out = htline;
    TapiAnswer a = host_.tapi().query(OID_TAPI_OPEN, tapi::open(request_id_++, device_id, htline));
    if (hdline_out && a.buffer.size() >= sizeof(NDIS_TAPI_OPEN))
        *hdline_out = tapi::record_at<NDIS_TAPI_OPEN>(a.buffer).hdLine;
    return a;
}

TapiAnswer Ras::close(HDRV_LINE hdline) {
    return host_.tapi().set(OID_TAPI_CLOSE, tapi::close(request_id_++, hdline));
}

TapiAnswer Ras::make_call(HDRV_LINE hdline, const std::string &dial, HDRV_CALL *hdcall_out, HTAPI_CALL *htcall_out,
                          const std::optional<std::string> &comment) {
    HTAPI_CALL htcall = host_.tapi().new_htcall();
    if (htcall_out)
        *htcall_out = htcall;
    TapiAnswer a =
        host_.tapi().query(OID_TAPI_MAKE_CALL, tapi::make_call(request_id_++, hdline, htcall, dial, comment));
    if (hdcall_out && a.buffer.size() >= sizeof(NDIS_TAPI_MAKE_CALL))
        *hdcall_out = tapi::made_call(a.buffer);
    return a;
}

TapiAnswer Ras::answer(HDRV_CALL hdcall) {
    return host_.tapi().set(OID_TAPI_ANSWER, tapi::call_with_user_info(request_id_++, hdcall));
}

TapiAnswer Ras::drop(HDRV_CALL hdcall) {
    return host_.tapi().set(OID_TAPI_DROP, tapi::call_with_user_info(request_id_++, hdcall));
}

TapiAnswer Ras::close_call(HDRV_CALL hdcall) {
    return host_.tapi().set(OID_TAPI_CLOSE_CALL, tapi::close_call(request_id_++, hdcall));
}

} // namespace tolvanex::host
