-- The ISDN driver comes 45 s late: what RAS gets meanwhile, and calls both ways once it is there.
--
-- The driver loads without the ISDN driver and looks for it every 10 s,
-- logging ZOLMSG_ISDN_NOT_OPEN each time. RAS opens its lines and dials
-- meanwhile: every request is accepted, but nothing reaches the network;
-- a call dropped before it was placed is released at once. When the ISDN
-- driver appears the next look opens it, the driver listens and places
-- the waiting call, frames flow, and a remote party can call in.

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end

exchange.local_number("0140000000")
exchange.party{number = "0299887766", answer = "after", delay = 2, echo = true}
exchange.party{number = "0311223344", stream = {bytes = 48, every = 2, count = 3}, clear_after = 10}

note("load the driver; no ISDN driver")
driver.start()
expect("event", "ZOLMSG_CONFIGURED")

note("RAS opens both lines while the ISDN driver is absent")
check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
local line1 = ras.open(1)
check_equal(line0.status_name, "NDIS_STATUS_SUCCESS", "open line 0")
check_equal(line1.status_name, "NDIS_STATUS_SUCCESS", "open line 1")

note("RAS dials on line 0: accepted, to be placed later")
local call = ras.dial(line0.line, "0299887766")
check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call")

note("RAS dials on line 1 and gives up: the call is released at once")
local given_up = ras.dial(line1.line, "0299887766")
check_equal(given_up.status_name, "NDIS_STATUS_SUCCESS", "make call on line 1")
check_equal(ras.drop(given_up.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = given_up.htcall, line = line1.htline})
idle()

note("the driver looks for the ISDN driver every 10 s")
-- Each look is an event; where the event hook records nothing (the NT
-- image) the looks pass unseen, and the times go unchecked.
local last = 0
for _ = 1, 4 do
  run(last + 10 - now())
  local e = expect("event", {name = "ZOLMSG_ISDN_NOT_OPEN", section = 1})
  if not e.waived then
    check(math.abs(e.time - last - 10) < 0.01, string.format("a look at %.3f s, %.3f s after the one before", e.time, e.time - last))
  end
  last = last + 10
end
run(45 - now())
-- Nothing reached the network or RAS while it was absent.
idle()
check_equal(#exchange.calls(), 0, "calls the network saw")
check_equal(#exchange.listens(), 0, "listens the network saw")

note("the ISDN driver appears")
isdn.attach()
run(last + 10 - now())
local found = expect("event", "ZOLMSG_ISDN_NOT_OPEN")
if not found.waived then
  check(math.abs(found.time - last - 10) < 0.01, "the look that finds it comes 10 s after the last")
end
-- The loop's first turn listens for the lines RAS opened, then places the
-- call that waited; the dropped one is not placed.
expect("isdn", {name = "listen", address = "0140000000*12"}, 2)
expect("isdn", {name = "call", address = "0140000000", number = "0299887766"}, 1)
expect_unordered({
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED", line = line0.htline}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", call = call.htcall}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline}},
  {"event", "ZOLMSG_CONN_CO"},
}, 5)
local up = expect("wan", {event = "up", speed = 64000, call = call.htcall})
idle()
local calls = exchange.calls()
check_equal(#calls, 1, "calls placed")
check_equal(calls[1].channel, 1, "the waiting call's B channel")

note("PPP frames go out on the link and come back")
for k = 0, 2 do
  local data = "\xff\x03\xc0\x21\x09" .. string.char(k) .. "\x00\x08\x12\x34\x56\x78"
  local id = wan.send(up.link, data)
  expect("isdn", {name = "send", length = #data}, 2)
  expect("completion", {packet = id, status = "NDIS_STATUS_SUCCESS"}, 2)
  expect("frame", {context = up.context, data = exchange.echo_reply("0299887766", data)}, 2)
  run(1)
end
idle()

note("a remote party calls in on subaddress 12 and streams three frames")
exchange.call_in{from = "0311223344", subaddress = "12", after = 2}
local offered = expect("tapi", {msg = "LINE_NEWCALL", line = line1.htline}, 5)
check_equal(ras.answer(offered.p1).status_name, "NDIS_STATUS_SUCCESS", "answer")
expect_unordered({
  {"isdn", "call-response"},
  {"isdn", {name = "listen", address = "0140000000*12"}},
  {"event", "ZOLMSG_CONN_IN"},
  {"event", "ZOLMSG_CONN_CO"},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_OFFERING", call = offered.p2}},
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED", line = line1.htline}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", call = offered.p2}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = line1.htline}},
}, 5)
local up_in = expect("wan", {event = "up", call = offered.p2})
for k = 0, 2 do
  expect("frame", {context = up_in.context, data = exchange.pattern(k, 48)}, 3)
end
expect("isdn", "clear-response", 10)
expect_unordered({
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line1.htline}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = offered.p2}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = offered.p2}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = line1.htline}},
  {"event", "ZOLMSG_CLEAR_IN"},
  {"event", "ZOLMSG_CLEAR_CO"},
  {"wan", {event = "down", context = up_in.context}},
}, 5)
idle()

note("RAS hangs up the first call")
check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
expect_unordered({
  {"wan", {event = "down", context = up.context}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline}},
}, 2)
-- The clearing's confirmation reports the call's end once more, to TAPI
-- and to NDISWAN.
expect("isdn", {name = "clear", number = "0299887766"}, 2)
expect_unordered({
  {"event", "ZOLMSG_CLEAR_CO"},
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line0.htline}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", line = line0.htline}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", line = line0.htline}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline}},
  {"wan", {event = "down", context = up.context}},
}, 2)
idle()

local b1, b2 = exchange.channels()[1], exchange.channels()[2]
check_equal(b1.frames_out, 3, "frames sent on B1")
check_equal(b1.frames_in, 3, "echoes received on B1")
check_equal(b2.frames_in, 3, "frames the caller streamed on B2")
driver.halt()
