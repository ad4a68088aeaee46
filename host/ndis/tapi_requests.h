// The OID_TAPI_* requests as NDIS TAPI lays them out in an information
// buffer (the record, then its variable parts), and the decoding of the
// records and variable parts a provider writes back.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ndistapi.h"
#include "runtime.h"

namespace tolvanex::host::tapi {

using Bytes = std::vector<std::uint8_t>;

// ---- Requests ------------------------------------------------------------------------
// Result records (LINE_DEV_CAPS, VAR_STRING, ...) get `total_size` bytes:
// their ulTotalSize, and the room NDIS TAPI leaves after the request's head.

Bytes provider_initialize(ULONG request_id, ULONG device_id_base);
Bytes open(ULONG request_id, ULONG device_id, HTAPI_LINE htline);
Bytes close(ULONG request_id, HDRV_LINE hdline);
Bytes get_dev_caps(ULONG request_id, ULONG device_id, ULONG total_size);
Bytes get_address_caps(ULONG request_id, ULONG device_id, ULONG address_id, ULONG total_size);
Bytes get_address_id(ULONG request_id, HDRV_LINE hdline, ULONG address_mode, const std::string &address);
Bytes get_address_status(ULONG request_id, HDRV_LINE hdline, ULONG address_id);
Bytes get_line_dev_status(ULONG request_id, HDRV_LINE hdline);
Bytes get_extension_id(ULONG request_id, ULONG device_id);
// The device class text follows the VAR_STRING's room, NUL included.
Bytes get_dev_config(ULONG request_id, ULONG device_id, const std::string &device_class, ULONG total_size);
Bytes get_id(ULONG request_id, ULONG select, HDRV_LINE hdline, HDRV_CALL hdcall, const std::string &device_class,
             ULONG total_size);
Bytes get_call_address_id(ULONG request_id, HDRV_CALL hdcall, ULONG address_id);
Bytes get_call_info(ULONG request_id, HDRV_CALL hdcall, ULONG total_size);
Bytes get_call_status(ULONG request_id, HDRV_CALL hdcall);
Bytes set_app_specific(ULONG request_id, HDRV_CALL hdcall, ULONG app_specific);
Bytes close_call(ULONG request_id, HDRV_CALL hdcall);
// ANSWER, DROP and ACCEPT share one layout: hdCall and user-user information.
Bytes call_with_user_info(ULONG request_id, HDRV_CALL hdcall, const std::string &user_user_info = {});
// Without a comment the default call parameters are used; with one, the
// call parameters carry it. The dial string follows them, NUL included.
Bytes make_call(ULONG request_id, HDRV_LINE hdline, HTAPI_CALL htcall, const std::string &dial,
                const std::optional<std::string> &comment = {});

// ---- Answers -------------------------------------------------------------------------

// A record at `offset` of an answer buffer, copied out (the make-call
// request is byte-packed, so nothing is read in place).
template <class T> T record_at(const Bytes &buffer, std::size_t offset = 0) {
    T out{};
    if (offset > buffer.size() || sizeof(T) > buffer.size() - offset)
        throw HostError("record past the answer buffer");
    std::memcpy(&out, buffer.data() + offset, sizeof(T));
    return out;
}
ULONG ulong_at(const Bytes &buffer, std::size_t offset);

// A variable part named by a Size/Offset pair of the record at `base`; it
// must lie within the record's ulTotalSize and the buffer.
Bytes part(const Bytes &buffer, std::size_t base, ULONG total_size, ULONG offset, ULONG size);

struct DevCaps {
    LINE_DEV_CAPS caps;
    Bytes provider_info, line_name;
};
DevCaps decode_dev_caps(const Bytes &buffer);

struct AddressCaps {
    LINE_ADDRESS_CAPS caps;
    Bytes address;
};
AddressCaps decode_address_caps(const Bytes &buffer);

struct VarString {
    VAR_STRING head;
    Bytes string;
};
// The VAR_STRING of GET_ID (at 28) or GET_DEV_CONFIG (at 16).
VarString decode_var_string(const Bytes &buffer, std::size_t at);

struct CallInfo {
    LINE_CALL_INFO info;
    Bytes comment;
};
CallInfo decode_call_info(const Bytes &buffer);

// hdCall as the provider wrote it into a make-call request.
HDRV_CALL made_call(const Bytes &buffer);

} // namespace tolvanex::host::tapi
