-- A remote party calls in, RAS answers, data flows both ways, RAS drops the call.
--
-- The driver listens on 0140000000*12 (LocalISDNAddress, SubAddrFilter).
-- The network, holding that listen, never offers calls to another
-- subaddress, to none or to another number: the listen's address is what
-- the driver controls, and it is pinned here; those calls show that nothing
-- else (no event, no TAPI word) comes of them. The call
-- to *12 is accepted towards the network and offered to TAPI on line 1,
-- the line RAS lets answer (line 0 only dials out); the link comes up only
-- when RAS answers. The caller streams frames and echoes what it gets; RAS
-- drops the call, the driver clears it, and listens on for the next one.

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end

local CALLER = "0311223344"
local LINEDISCONNECTMODE_NORMAL = ndis.constant("LINEDISCONNECTMODE_NORMAL")

exchange.local_number("0140000000")
exchange.party{number = CALLER, echo = true, stream = {bytes = 80, every = 2, count = 3}}
-- Calls the listen does not take, all before RAS is ready.
exchange.call_in{from = "0355555555", subaddress = "34", at = 25}
exchange.call_in{from = "0355555555", at = 26}
exchange.call_in{from = "0355555555", to = "0150000000", subaddress = "12", at = 27}
exchange.call_in{from = CALLER, subaddress = "12", at = 40}

isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
-- The general loop looks for the ISDN driver every 10 s.
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
run(1)
idle()

note("RAS opens both lines; the driver listens")
check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
local line1 = ras.open(1)
check_equal(line0.status_name, "NDIS_STATUS_SUCCESS", "open line 0")
check_equal(line1.status_name, "NDIS_STATUS_SUCCESS", "open line 1")
expect("isdn", {name = "listen", address = "0140000000*12"}, 5)
idle()

note("calls to *34, to no subaddress and to another number")
run(30 - now())
idle()
local calls = exchange.calls()
check_equal(#calls, 3, "calls that reached the line")
for i, c in ipairs(calls) do
  check_equal(c.state, "released", "stray call " .. i)
  check_equal(c.ended, "no listen takes it, not offered", "stray call " .. i)
end
check_equal(#exchange.listens(), 1, "the listen is still in place")

note("a call to *12")
-- The listen thread accepts the call at once, then listens anew.
expect_unordered({
  {"event", "ZOLMSG_CONN_IN"},
  {"isdn", "call-response"},
  {"isdn", {name = "listen", address = "0140000000*12"}},
  {"event", "ZOLMSG_CONN_CO"},
}, 15)
local offered = expect("tapi", {msg = "LINE_NEWCALL", line = line1.htline, call = 0}, 2)
check(offered.p1 ~= 0 and offered.p2 ~= 0, "LINE_NEWCALL carries both call handles")
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_OFFERING", line = line1.htline,
                call = offered.p2})
-- Offered, not answered: no link yet.
check_equal(#wan.links(), 0, "links before the answer")

note("RAS answers")
check_equal(ras.answer(offered.p1).status_name, "NDIS_STATUS_SUCCESS", "answer")
expect("tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED", line = line1.htline,
                call = offered.p2}, 0)
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", call = offered.p2}, 0)
expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line1.htline}, 0)
local up = expect("wan", {event = "up", speed = 64000, call = offered.p2}, 0)
idle()

local incoming = exchange.calls()[4]
check_equal(incoming.remote, CALLER, "caller")
check_equal(incoming.subaddress, "12", "called subaddress")
check_equal(incoming.state, "connected", "the call at the exchange")

note("the caller streams three frames")
for k = 0, 2 do
  expect("frame", {context = up.context, data = exchange.pattern(k, 80), status = "NDIS_STATUS_SUCCESS"}, 3)
end
idle()

note("RAS sends; the caller echoes")
local frames = {
  "\xff\x03\xc0\x21\x01\x01\x00\x0e\x01\x04\x05\xdc\x05\x06\x11\x22\x33\x44",
  exchange.ip_frame(40, 304),
}
for i, frame in ipairs(frames) do
  local packet, status = wan.send(up.link, frame)
  check_equal(status, "NDIS_STATUS_PENDING", "send " .. i)
  expect("isdn", {name = "send", length = #frame}, 2)
  expect("completion", {packet = packet, status = "NDIS_STATUS_SUCCESS"}, 2)
  expect("frame", {context = up.context, data = frame}, 2)
end
idle()

note("RAS drops the call")
check_equal(ras.drop(offered.p1).status_name, "NDIS_STATUS_SUCCESS", "drop")
expect("wan", {event = "down", context = up.context}, 0)
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = offered.p2}, 0)
expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line1.htline}, 0)
check_equal(ras.close_call(offered.p1).status_name, "NDIS_STATUS_SUCCESS", "close call")
expect("isdn", {name = "clear"}, 2)
expect("event", "ZOLMSG_CLEAR_CO", 2)
-- The confirmation reports the end once more, under the handles the line
-- still holds, link down included.
expect("tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line1.htline})
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = offered.p2,
                p2 = LINEDISCONNECTMODE_NORMAL})
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = offered.p2})
expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line1.htline})
expect("wan", {event = "down", context = up.context})
run(2)
idle()

incoming = exchange.calls()[4]
check_equal(incoming.state, "released", "the call at the exchange")
check_equal(incoming.ended, "cleared by the driver", "how it ended")
local listens = exchange.listens()
check_equal(#listens, 1, "listens after the call")
check_equal(listens[1].address, "0140000000*12", "the listen in place")
