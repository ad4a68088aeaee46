-- NDIS requests by name: general, WAN and TAPI queries, answers decoded.
--
-- Every request is built from the fields its record names and read back the
-- same way: plain values, WAN records, TAPI records with their nested
-- capability records and variable parts, short buffers and bad handles.

registry.load("configs/default.reg")
exchange.local_number("0140000000")
exchange.party{number = "0299887766", answer = "after", delay = 1}
ignore("event")

local OK = "NDIS_STATUS_SUCCESS"
driver.start()

note("general and WAN queries")
check_equal(ndis.query("OID_GEN_MAXIMUM_FRAME_SIZE").value, 1500, "largest frame")
check_equal(ndis.query("OID_GEN_LINK_SPEED").value, 640, "link speed in 100 bit/s")
check_equal(ndis.query("OID_WAN_MEDIUM_SUBTYPE").value, 2, "ISDN medium")
local list = ndis.query("OID_GEN_SUPPORTED_LIST")
check_equal(list.status_name, OK, "supported list")
local supported = {}
for _, oid in ipairs(list.values) do supported[oid] = true end
check(supported[ndis.constant("OID_WAN_GET_INFO")], "the list names OID_WAN_GET_INFO")
check(supported[ndis.constant("OID_GEN_LINK_SPEED")], "the list names OID_GEN_LINK_SPEED")
check_equal(#ndis.query("OID_WAN_CURRENT_ADDRESS").bytes, 6, "a six-byte address")

local info = ndis.query("OID_WAN_GET_INFO")
check_equal(info.status_name, OK, "WAN information")
check_equal(info.MaxFrameSize, 1500, "MaxFrameSize")
check_equal(info.Endpoints, 2, "one endpoint per B channel")
check(info.FramingBits & 0x80000000 ~= 0, "the miniport is a TAPI provider")

note("a buffer too short is refused with the length it needs")
local short = ndis.query("OID_WAN_GET_INFO", {length = 8})
check_equal(short.status_name, "NDIS_STATUS_BUFFER_TOO_SHORT", "short WAN information")
check_equal(short.needed, 40, "bytes needed")
check_equal(short.written, 0, "bytes written")

isdn.attach()
run(12)

note("the provider and its lines")
local init = ndis.query("OID_TAPI_PROVIDER_INITIALIZE", {ulDeviceIDBase = 0})
check_equal(init.status_name, OK, "provider initialisation")
check_equal(init.ulNumLineDevs, 2, "line devices")
local caps = ndis.query("OID_TAPI_GET_DEV_CAPS", {ulDeviceID = 1})
check_equal(caps.status_name, OK, "capabilities of line 1")
check_equal(caps.LineDevCaps.ulNumAddresses, 1, "addresses")
check_equal(caps.LineDevCaps.ulNeededSize, 270, "bytes the capabilities need, names included")
check(caps.LineDevCaps.LineName:find("B2", 1, true), "line 1 is channel B2")
local addr = ndis.query("OID_TAPI_GET_ADDRESS_CAPS", {ulDeviceID = 0, ulAddressID = 0})
check_equal(addr.status_name, OK, "address capabilities")
check_equal(addr.LineAddressCaps.Address:gsub("%z", ""), "1-01-00", "the port address from RAS")

local open = ndis.query("OID_TAPI_OPEN", {ulDeviceID = 0, htLine = 0x4242})
check_equal(open.status_name, OK, "open line 0")
local hdline = open.hdLine
expect("isdn", "listen", 5)
local wrong = ndis.query("OID_TAPI_GET_ID", {ulSelect = 1, hdLine = hdline, DeviceClass = "comm"})
check_equal(wrong.status_name, "NDIS_STATUS_TAPI_INVALDEVICECLASS", "an unknown device class")
-- The line's identity is given once a call has bound a channel to it.
local early = ndis.query("OID_TAPI_GET_ID", {ulSelect = ndis.constant("LINECALLSELECT_LINE"), hdLine = hdline,
                                             DeviceClass = "tapi/line"})
check_equal(early.status_name, "NDIS_STATUS_TAPI_INVALLINEHANDLE", "tapi/line identity before a call")
local bad = ndis.query("OID_TAPI_GET_ADDRESS_ID", {hdLine = 0x1234, szAddress = "1-01-00"})
check_equal(bad.status_name, "NDIS_STATUS_TAPI_INVALLINEHANDLE", "a handle the driver never gave")

note("a call, its information and its link")
local call = ndis.query("OID_TAPI_MAKE_CALL", {hdLine = hdline, htCall = 0x5151, bUseDefaultLineCallParams = 1,
                                               DestAddress = "0299887766"})
check_equal(call.status_name, OK, "make call")
expect("isdn", {name = "call", number = "0299887766"}, 5)
expect_unordered({
  {"tapi", {msg = "LINE_LINEDEVSTATE", line = 0x4242}},
  {"tapi", {msg = "LINE_CALLSTATE", call = 0x5151, state = "LINECALLSTATE_CONNECTED"}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = 0x4242}},
}, 5)
local up = expect("wan", {event = "up", call = 0x5151})
local ci = ndis.query("OID_TAPI_GET_CALL_INFO", {hdCall = call.hdCall})
check_equal(ci.status_name, OK, "call information")
check_equal(ci.LineCallInfo.ulLineDeviceID, 0, "the call is on line 0")
check_equal(ci.LineCallInfo.ulRate, 64000, "a B channel's rate")
local cs = ndis.query("OID_TAPI_GET_CALL_STATUS", {hdCall = call.hdCall})
check_equal(cs.LineCallStatus.ulCallState, ndis.constant("LINECALLSTATE_CONNECTED"), "call state")

local id = ndis.query("OID_TAPI_GET_ID", {ulSelect = ndis.constant("LINECALLSELECT_LINE"), hdLine = hdline,
                                          DeviceClass = "tapi/line"})
check_equal(id.status_name, OK, "tapi/line identity during the call")
check_equal(id.DeviceID.ulStringSize, 4, "a device ID is four bytes")
check_equal(string.unpack("<I4", id.DeviceID.String), 0, "the line's device ID")
local link = ndis.query("OID_WAN_GET_LINK_INFO", {NdisLinkHandle = up.link})
check_equal(link.status_name, OK, "link information")
check_equal(link.MaxSendFrameSize, 1500, "largest frame sent")
local set = ndis.set("OID_WAN_SET_LINK_INFO", {NdisLinkHandle = up.link, MaxSendFrameSize = 1400,
                                               MaxRecvFrameSize = 1500, SendACCM = 0, RecvACCM = 0})
check_equal(set.status_name, OK, "set link information")
check_equal(ndis.query("OID_WAN_GET_LINK_INFO", {NdisLinkHandle = up.link}).MaxSendFrameSize, 1400,
            "the link keeps what NDISWAN set")

note("RAS drops the call")
-- The drop takes the link down and idles the call at once; the clear
-- confirmation from the ISDN driver then says it all again.
check_equal(ndis.set("OID_TAPI_DROP", {hdCall = call.hdCall}).status_name, OK, "drop")
expect("isdn", "clear", 5)
expect_unordered({
  {"tapi", {msg = "LINE_CALLSTATE", call = 0x5151, state = "LINECALLSTATE_IDLE"}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = 0x4242}},
  {"tapi", {msg = "LINE_LINEDEVSTATE", line = 0x4242}},
  {"tapi", {msg = "LINE_CALLSTATE", call = 0x5151, state = "LINECALLSTATE_DISCONNECTED"}},
  {"tapi", {msg = "LINE_CALLSTATE", call = 0x5151, state = "LINECALLSTATE_IDLE"}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = 0x4242}},
  {"wan", {event = "down", context = up.context}},
  {"wan", {event = "down", context = up.context}},
}, 5)
check_equal(ndis.set("OID_TAPI_CLOSE_CALL", {hdCall = call.hdCall}).status_name, OK, "close call")
run(2)
idle()
driver.halt()
