// Sequences of NDIS and NDIS TAPI requests: any OID, length and bytes, with
// live line and call handles patched in, and the user's make-call, answer,
// drop and close on calls that the scripted ISDN driver takes up.

#include "fuzz_machine.h"

#include "host_ndis.h"

using namespace tolvanex::fuzz;

namespace {

constexpr NDIS_OID kOids[] = {
    OID_TAPI_ACCEPT, OID_TAPI_ANSWER, OID_TAPI_CLOSE, OID_TAPI_CLOSE_CALL, OID_TAPI_CONDITIONAL_MEDIA_DETECTION,
    OID_TAPI_CONFIG_DIALOG, OID_TAPI_DEV_SPECIFIC, OID_TAPI_DIAL, OID_TAPI_DROP, OID_TAPI_GET_ADDRESS_CAPS,
    OID_TAPI_GET_ADDRESS_ID, OID_TAPI_GET_ADDRESS_STATUS, OID_TAPI_GET_CALL_ADDRESS_ID, OID_TAPI_GET_CALL_INFO,
    OID_TAPI_GET_CALL_STATUS, OID_TAPI_GET_DEV_CAPS, OID_TAPI_GET_DEV_CONFIG, OID_TAPI_GET_EXTENSION_ID,
    OID_TAPI_GET_ID, OID_TAPI_GET_LINE_DEV_STATUS, OID_TAPI_MAKE_CALL, OID_TAPI_NEGOTIATE_EXT_VERSION,
    OID_TAPI_OPEN, OID_TAPI_PROVIDER_INITIALIZE, OID_TAPI_PROVIDER_SHUTDOWN, OID_TAPI_SECURE_CALL,
    OID_TAPI_SELECT_EXT_VERSION, OID_TAPI_SEND_USER_USER_INFO, OID_TAPI_SET_APP_SPECIFIC, OID_TAPI_SET_CALL_PARAMS,
    OID_TAPI_SET_DEFAULT_MEDIA_DETECTION, OID_TAPI_SET_DEV_CONFIG, OID_TAPI_SET_MEDIA_MODE,
    OID_TAPI_SET_STATUS_MESSAGES, OID_TAPI_GATHER_DIGITS, OID_TAPI_MONITOR_DIGITS, OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS, OID_GEN_MEDIA_SUPPORTED, OID_GEN_MEDIA_IN_USE, OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE, OID_GEN_LINK_SPEED, OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE, OID_GEN_RECEIVE_BLOCK_SIZE, OID_GEN_VENDOR_ID, OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_LOOKAHEAD, OID_GEN_DRIVER_VERSION, OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_PROTOCOL_OPTIONS, OID_GEN_MAC_OPTIONS, OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR, OID_GEN_RCV_NO_BUFFER, OID_PRIVATE_RECONFIGURE, OID_PRIVATE_RESERVED,
    OID_WAN_PERMANENT_ADDRESS, OID_WAN_CURRENT_ADDRESS, OID_WAN_QUALITY_OF_SERVICE, OID_WAN_PROTOCOL_TYPE,
    OID_WAN_MEDIUM_SUBTYPE, OID_WAN_HEADER_FORMAT, OID_WAN_GET_INFO, OID_WAN_SET_LINK_INFO, OID_WAN_GET_LINK_INFO,
    OID_WAN_LINE_COUNT, OID_WAN_GET_BRIDGE_INFO, OID_WAN_SET_BRIDGE_INFO, OID_WAN_GET_COMP_INFO,
    OID_WAN_SET_COMP_INFO,
};

// The scripted ISDN driver answers what the driver asked: success, with a
// handle for a call (2 to 16 in turn) and the listen's handle 1.
void answer_isdn(Host &host, std::uint8_t &next_handle) {
    while (const IsdnCommandRecord *c = host.isdn().next_unanswered()) {
        std::optional<std::uint8_t> hcom;
        if (c->command == ISDN_CLASS_CONTROL && c->code == ISDN_CODE_CALL) {
            hcom = next_handle;
            next_handle = next_handle >= 16 ? 2 : next_handle + 1;
        } else if (c->command == ISDN_CLASS_CONTROL && c->code == ISDN_CODE_LISTEN) {
            hcom = 1;
        }
        host.isdn().answer(c->id, 0, hcom);
        host.settle();
    }
}

void program(Host &host, Input &in) {
    configure(host);
    host.isdn().attach(); // there from the start: opened at once
    if (!start(host))
        return;
    wait_for_isdn(host);
    TapiState tapi;
    open_lines(host, tapi);
    std::uint8_t next_handle = 2;
    answer_isdn(host, next_handle);

    for (int step = 0; step < 64 && !in.empty(); ++step) {
        std::uint8_t op = in.u8();
        switch (op % 12) {
        case 0:
        case 1:
        case 2: { // any request: an OID from the table or any at all, any bytes
            std::uint8_t pick = in.u8();
            NDIS_OID oid = pick < 0xF0 ? kOids[pick % std::size(kOids)] : in.u32();
            std::size_t length = in.u16() % 600;
            auto bytes = in.bytes(std::min<std::size_t>(in.u16() % 600, length));
            std::uint8_t patch = in.u8();
            // Most requests carry a line or call handle after the request ID.
            if (bytes.size() >= 8 && (patch & 3)) {
                ULONG h = (patch & 3) == 1 ? tapi.line(patch >> 2) : tapi.call(patch >> 2);
                std::memcpy(bytes.data() + 4, &h, 4);
            }
            TapiAnswer a = (op & 0x10) ? host.tapi().set(oid, bytes, length) : host.tapi().query(oid, bytes, length);
            if (oid == OID_TAPI_MAKE_CALL && a.status == NDIS_STATUS_SUCCESS && length >= 16 && tapi.calls.size() < 64)
                tapi.calls.push_back(tapi::made_call(a.buffer));
            break;
        }
        case 3: { // the user dials
            HDRV_CALL hdcall = 0;
            std::string dial = in.text(40);
            if (host.ras().make_call(tapi.line(in.u8()), dial, &hdcall).status == NDIS_STATUS_SUCCESS &&
                tapi.calls.size() < 64)
                tapi.calls.push_back(hdcall);
            break;
        }
        case 4: host.ras().answer(tapi.call(in.u8())); break;
        case 5: host.ras().drop(tapi.call(in.u8())); break;
        case 6: host.ras().close_call(tapi.call(in.u8())); break;
        case 7: host.ras().close(tapi.line(in.u8())); break;
        case 8: { // the far end: connected, clearing, cleared, a new call on the listen
            std::uint8_t which = in.u8();
            std::uint8_t handle = static_cast<std::uint8_t>(1 + in.u8() % 16);
            IsdnMessage m;
            switch (which % 5) {
            case 0: m.code = APP_CONN_CO; break;
            case 1: m.code = APP_CLEAR_IN; m.cause = in.u8(); break;
            case 2: m.code = APP_CLEAR_CO; break;
            case 3: m.code = APP_CONN_IN; m.handle = static_cast<std::uint8_t>(2 + in.u8() % 15); m.number = in.text(32);
                    handle = 1; break;
            case 4: m.code = APP_DATA_IN; m.data = in.bytes(in.u8()); break;
            }
            if (m.code == APP_DATA_IN && !link_up(handle))
                break;
            host.isdn().queue_message(handle, m);
            break;
        }
        case 9: { // NDISWAN sends on a link
            const auto &links = host.ndiswan().links();
            std::uint32_t link = links.empty() ? in.u32() : links[in.u8() % links.size()].link_handle;
            auto frame = in.bytes(in.u16() % 1600);
            if (!frame.empty())
                host.ndiswan().send(link, frame);
            break;
        }
        case 10: host.run_for(millis(in.u16() % 8000)); break;
        case 11: host.ndis().reset(); break;
        }
        host.settle();
        answer_isdn(host, next_handle);
        tapi.collect(host);
    }
    host.run_for(millis(500));
    answer_isdn(host, next_handle);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return run_input([&](Host &host) {
        Input in(data, size);
        program(host, in);
    });
}
