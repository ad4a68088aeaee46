#include "ras_model.h"

#include <cstring>

#include "registry.h"
#include "trace.h"

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

TapiAnswer Ras::initialize(ULONG device_id_base, ULONG *line_count) {
    NDIS_TAPI_PROVIDER_INITIALIZE req{};
    req.ulRequestID = request_id_++;
    req.ulDeviceIDBase = device_id_base;
    TapiAnswer a = host_.tapi().query(OID_TAPI_PROVIDER_INITIALIZE, bytes_of(req));
    if (line_count && a.buffer.size() >= sizeof req)
        *line_count = reinterpret_cast<const NDIS_TAPI_PROVIDER_INITIALIZE *>(a.buffer.data())->ulNumLineDevs;
    return a;
}

TapiAnswer Ras::open(ULONG device_id, HTAPI_LINE *htline_out, HDRV_LINE *hdline_out) {
    NDIS_TAPI_OPEN req{};
    req.ulRequestID = request_id_++;
    req.ulDeviceID = device_id;
    req.htLine = host_.tapi().new_htline();
    if (htline_out)
        *htline_out = req.htLine;
    TapiAnswer a = host_.tapi().query(OID_TAPI_OPEN, bytes_of(req));
    if (hdline_out && a.buffer.size() >= sizeof req)
        *hdline_out = reinterpret_cast<const NDIS_TAPI_OPEN *>(a.buffer.data())->hdLine;
    return a;
}

TapiAnswer Ras::close(HDRV_LINE hdline) {
    NDIS_TAPI_CLOSE req{};
    req.ulRequestID = request_id_++;
    req.hdLine = hdline;
    return host_.tapi().set(OID_TAPI_CLOSE, bytes_of(req));
}

TapiAnswer Ras::make_call(HDRV_LINE hdline, const std::string &dial, HDRV_CALL *hdcall_out, HTAPI_CALL *htcall_out) {
    NDIS_TAPI_MAKE_CALL req{};
    req.ulRequestID = request_id_++;
    req.hdLine = hdline;
    req.htCall = host_.tapi().new_htcall();
    req.ulDestAddressSize = static_cast<ULONG>(dial.size() + 1);
    req.ulDestAddressOffset = sizeof(NDIS_TAPI_MAKE_CALL);
    req.bUseDefaultLineCallParams = TRUE;
    if (htcall_out)
        *htcall_out = req.htCall;
    std::vector<std::uint8_t> buf = bytes_of(req);
    buf.insert(buf.end(), dial.begin(), dial.end());
    buf.push_back(0);
    TapiAnswer a = host_.tapi().query(OID_TAPI_MAKE_CALL, std::move(buf));
    if (hdcall_out && a.buffer.size() >= sizeof req) {
        NDIS_TAPI_MAKE_CALL out;
        std::memcpy(&out, a.buffer.data(), sizeof out);
        *hdcall_out = out.hdCall;
    }
    return a;
}

TapiAnswer Ras::answer(HDRV_CALL hdcall) {
    NDIS_TAPI_ANSWER req{};
    req.ulRequestID = request_id_++;
    req.hdCall = hdcall;
    return host_.tapi().set(OID_TAPI_ANSWER, bytes_of(req));
}

TapiAnswer Ras::drop(HDRV_CALL hdcall) {
    NDIS_TAPI_DROP req{};
    req.ulRequestID = request_id_++;
    req.hdCall = hdcall;
    return host_.tapi().set(OID_TAPI_DROP, bytes_of(req));
}

TapiAnswer Ras::close_call(HDRV_CALL hdcall) {
    NDIS_TAPI_CLOSE_CALL req{};
    req.ulRequestID = request_id_++;
    req.hdCall = hdcall;
    return host_.tapi().set(OID_TAPI_CLOSE_CALL, bytes_of(req));
}

} // namespace tolvanex::host
