#include "ndis/tapi_requests.h"

#include <algorithm>
#include <cstddef>

namespace tolvanex::host::tapi {

namespace {

template <class T> Bytes head_of(const T &record, std::size_t size = sizeof(T)) {
    Bytes b(size, 0);
    std::memcpy(b.data(), &record, std::min(size, sizeof(T)));
    return b;
}

void append(Bytes &b, const std::string &text, bool with_nul) {
    b.insert(b.end(), text.begin(), text.end());
    if (with_nul)
        b.push_back(0);
}

ULONG u32(std::size_t n) {
    return static_cast<ULONG>(n);
}

// A request whose result record (at `head`, `total_size` bytes) ends it.
template <class T> Bytes with_result(const T &request, std::size_t head, ULONG total_size) {
    Bytes b = head_of(request, head + total_size);
    std::memcpy(b.data() + head, &total_size, sizeof total_size);
    return b;
}

} // namespace

Bytes provider_initialize(ULONG request_id, ULONG device_id_base) {
    NDIS_TAPI_PROVIDER_INITIALIZE r{};
    r.ulRequestID = request_id;
    r.ulDeviceIDBase = device_id_base;
    return head_of(r);
}

Bytes open(ULONG request_id, ULONG device_id, HTAPI_LINE htline) {
    NDIS_TAPI_OPEN r{};
    r.ulRequestID = request_id;
    r.ulDeviceID = device_id;
    r.htLine = htline;
    return head_of(r);
}

Bytes close(ULONG request_id, HDRV_LINE hdline) {
    NDIS_TAPI_CLOSE r{request_id, hdline};
    return head_of(r);
}

Bytes get_dev_caps(ULONG request_id, ULONG device_id, ULONG total_size) {
    NDIS_TAPI_GET_DEV_CAPS r{};
    r.ulRequestID = request_id;
    r.ulDeviceID = device_id;
    r.ulExtVersion = 0;
    return with_result(r, offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps), total_size);
}

Bytes get_address_caps(ULONG request_id, ULONG device_id, ULONG address_id, ULONG total_size) {
    NDIS_TAPI_GET_ADDRESS_CAPS r{};
    r.ulRequestID = request_id;
    r.ulDeviceID = device_id;
    r.ulAddressID = address_id;
    return with_result(r, offsetof(NDIS_TAPI_GET_ADDRESS_CAPS, LineAddressCaps), total_size);
}

Bytes get_address_id(ULONG request_id, HDRV_LINE hdline, ULONG address_mode, const std::string &address) {
    NDIS_TAPI_GET_ADDRESS_ID r{};
    r.ulRequestID = request_id;
    r.hdLine = hdline;
    r.ulAddressID = 0xFFFFFFFF;
    r.ulAddressMode = address_mode;
    r.ulAddressSize = u32(address.size() + 1);
    Bytes b = head_of(r, offsetof(NDIS_TAPI_GET_ADDRESS_ID, szAddress));
    append(b, address, true);
    return b;
}

Bytes get_address_status(ULONG request_id, HDRV_LINE hdline, ULONG address_id) {
    NDIS_TAPI_GET_ADDRESS_STATUS r{};
    r.ulRequestID = request_id;
    r.hdLine = hdline;
    r.ulAddressID = address_id;
    r.LineAddressStatus.ulTotalSize = sizeof(LINE_ADDRESS_STATUS);
    return head_of(r);
}

Bytes get_line_dev_status(ULONG request_id, HDRV_LINE hdline) {
    NDIS_TAPI_GET_LINE_DEV_STATUS r{};
    r.ulRequestID = request_id;
    r.hdLine = hdline;
    r.LineDevStatus.ulTotalSize = sizeof(LINE_DEV_STATUS);
    return head_of(r);
}

Bytes get_extension_id(ULONG request_id, ULONG device_id) {
    NDIS_TAPI_GET_EXTENSION_ID r{};
    r.ulRequestID = request_id;
    r.ulDeviceID = device_id;
    return head_of(r);
}

Bytes get_dev_config(ULONG request_id, ULONG device_id, const std::string &device_class, ULONG total_size) {
    constexpr std::size_t head = offsetof(NDIS_TAPI_GET_DEV_CONFIG, DeviceConfig);
    NDIS_TAPI_GET_DEV_CONFIG r{};
    r.ulRequestID = request_id;
    r.ulDeviceID = device_id;
    r.ulDeviceClassSize = u32(device_class.size() + 1);
    r.ulDeviceClassOffset = u32(head + total_size);
    Bytes b = with_result(r, head, total_size);
    append(b, device_class, true);
    return b;
}

Bytes get_id(ULONG request_id, ULONG select, HDRV_LINE hdline, HDRV_CALL hdcall, const std::string &device_class,
             ULONG total_size) {
    constexpr std::size_t head = offsetof(NDIS_TAPI_GET_ID, DeviceID);
    NDIS_TAPI_GET_ID r{};
    r.ulRequestID = request_id;
    r.hdLine = hdline;
    r.ulAddressID = 0;
    r.hdCall = hdcall;
    r.ulSelect = select;
    r.ulDeviceClassSize = u32(device_class.size() + 1);
    r.ulDeviceClassOffset = u32(head + total_size);
    Bytes b = with_result(r, head, total_size);
    append(b, device_class, true);
    return b;
}

Bytes get_call_address_id(ULONG request_id, HDRV_CALL hdcall, ULONG address_id) {
    NDIS_TAPI_GET_CALL_ADDRESS_ID r{request_id, hdcall, address_id};
    return head_of(r);
}

Bytes get_call_info(ULONG request_id, HDRV_CALL hdcall, ULONG total_size) {
    NDIS_TAPI_GET_CALL_INFO r{};
    r.ulRequestID = request_id;
    r.hdCall = hdcall;
    return with_result(r, offsetof(NDIS_TAPI_GET_CALL_INFO, LineCallInfo), total_size);
}

Bytes get_call_status(ULONG request_id, HDRV_CALL hdcall) {
    NDIS_TAPI_GET_CALL_STATUS r{};
    r.ulRequestID = request_id;
    r.hdCall = hdcall;
    r.LineCallStatus.ulTotalSize = sizeof(LINE_CALL_STATUS);
    return head_of(r);
}

Bytes set_app_specific(ULONG request_id, HDRV_CALL hdcall, ULONG app_specific) {
    NDIS_TAPI_SET_APP_SPECIFIC r{request_id, hdcall, app_specific};
    return head_of(r);
}

Bytes close_call(ULONG request_id, HDRV_CALL hdcall) {
    NDIS_TAPI_CLOSE_CALL r{request_id, hdcall};
    return head_of(r);
}

Bytes call_with_user_info(ULONG request_id, HDRV_CALL hdcall, const std::string &user_user_info) {
    NDIS_TAPI_ANSWER r{};
    r.ulRequestID = request_id;
    r.hdCall = hdcall;
    r.ulUserUserInfoSize = u32(user_user_info.size());
    Bytes b = head_of(r, offsetof(NDIS_TAPI_ANSWER, UserUserInfo));
    append(b, user_user_info, false);
    b.resize(std::max(b.size(), sizeof(NDIS_TAPI_ANSWER)), 0);
    return b;
}

Bytes make_call(ULONG request_id, HDRV_LINE hdline, HTAPI_CALL htcall, const std::string &dial,
                const std::optional<std::string> &comment) {
    NDIS_TAPI_MAKE_CALL r{};
    r.ulRequestID = request_id;
    r.hdLine = hdline;
    r.htCall = htcall;
    r.bUseDefaultLineCallParams = comment ? FALSE : TRUE;
    ULONG params = sizeof(LINE_CALL_PARAMS);
    if (comment) {
        r.LineCallParams.ulBearerMode = LINEBEARERMODE_DATA;
        r.LineCallParams.ulMinRate = r.LineCallParams.ulMaxRate = 64000;
        r.LineCallParams.ulMediaMode = LINEMEDIAMODE_DIGITALDATA;
        r.LineCallParams.ulCommentSize = u32(comment->size());
        r.LineCallParams.ulCommentOffset = sizeof(LINE_CALL_PARAMS);
        params += u32(comment->size());
    }
    r.LineCallParams.ulTotalSize = params;
    r.ulDestAddressSize = u32(dial.size() + 1);
    r.ulDestAddressOffset = u32(offsetof(NDIS_TAPI_MAKE_CALL, LineCallParams) + params);
    Bytes b = head_of(r);
    if (comment)
        append(b, *comment, false);
    append(b, dial, true);
    return b;
}

ULONG ulong_at(const Bytes &buffer, std::size_t offset) {
    return record_at<ULONG>(buffer, offset);
}

Bytes part(const Bytes &buffer, std::size_t base, ULONG total_size, ULONG offset, ULONG size) {
    if (size == 0)
        return {};
    if (std::uint64_t(offset) + size > total_size || base + std::uint64_t(offset) + size > buffer.size())
        throw HostError("variable part at " + std::to_string(offset) + " of " + std::to_string(size) +
                        " bytes lies outside its record");
    return Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(base + offset),
                 buffer.begin() + static_cast<std::ptrdiff_t>(base + offset + size));
}

DevCaps decode_dev_caps(const Bytes &buffer) {
    constexpr std::size_t at = offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps);
    DevCaps d{record_at<LINE_DEV_CAPS>(buffer, at), {}, {}};
    d.provider_info = part(buffer, at, d.caps.ulTotalSize, d.caps.ulProviderInfoOffset, d.caps.ulProviderInfoSize);
    d.line_name = part(buffer, at, d.caps.ulTotalSize, d.caps.ulLineNameOffset, d.caps.ulLineNameSize);
    return d;
}

AddressCaps decode_address_caps(const Bytes &buffer) {
    constexpr std::size_t at = offsetof(NDIS_TAPI_GET_ADDRESS_CAPS, LineAddressCaps);
    AddressCaps a{record_at<LINE_ADDRESS_CAPS>(buffer, at), {}};
    a.address = part(buffer, at, a.caps.ulTotalSize, a.caps.ulAddressOffset, a.caps.ulAddressSize);
    return a;
}

VarString decode_var_string(const Bytes &buffer, std::size_t at) {
    VarString v{record_at<VAR_STRING>(buffer, at), {}};
    v.string = part(buffer, at, v.head.ulTotalSize, v.head.ulStringOffset, v.head.ulStringSize);
    return v;
}

CallInfo decode_call_info(const Bytes &buffer) {
    constexpr std::size_t at = offsetof(NDIS_TAPI_GET_CALL_INFO, LineCallInfo);
    CallInfo c{record_at<LINE_CALL_INFO>(buffer, at), {}};
    c.comment = part(buffer, at, c.info.ulTotalSize, c.info.ulCommentOffset, c.info.ulCommentSize);
    return c;
}

HDRV_CALL made_call(const Bytes &buffer) {
    return ulong_at(buffer, offsetof(NDIS_TAPI_MAKE_CALL, hdCall));
}

} // namespace tolvanex::host::tapi
