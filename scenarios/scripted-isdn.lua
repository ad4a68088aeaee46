-- The ISDN driver played by hand: each command answered by the script, each message queued by it.
--
-- No exchange here: the script stands in for the ISDN driver. It answers
-- the listen with a handle, refuses the first call command (the call is
-- left dialling until RAS drops it, and nothing is retried), answers the
-- second, connects it with APP_CONN_CO, takes one frame and refuses
-- another, hands one in with APP_DATA_IN, and clears the call from the
-- network side with APP_CLEAR_IN and APP_CLEAR_CO.

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end

-- Status values of the ISDN driver's answers: 0 is done, anything else
-- a refusal (4: no handle left).
local steps = require "steps"
local OK, NO_HANDLE = 0, 4
local LISTEN, CALL = 7, 3

-- The next command must match; it is answered and returned.
local function answer(pattern, status, hcom, within)
  local c = expect("isdn", pattern, within or 2)
  isdn.answer(c.id, status, hcom)
  return c
end

note("load the driver; the ISDN driver is there")
isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
-- The general loop looks for the ISDN driver every 10 s.
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
check_equal(isdn.clients(), 1, "the driver holds the ISDN device open")

note("RAS opens both lines; the listen is answered with handle " .. LISTEN)
check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
local line1 = ras.open(1)
check_equal(line0.status_name, "NDIS_STATUS_SUCCESS", "open line 0")
check_equal(line1.status_name, "NDIS_STATUS_SUCCESS", "open line 1")
answer({name = "listen", hcom = 0, address = "0140000000*12"}, OK, LISTEN, 5)
run(5)
-- The listen thread keeps a read waiting on the listen's handle.
check_equal(isdn.pending_reads(LISTEN), 1, "reads waiting on the listen")
idle()

note("RAS dials on line 0; the ISDN driver refuses the call command")
local first = ras.dial(line0.line, "0299887766")
check_equal(first.status_name, "NDIS_STATUS_SUCCESS", "make call")
answer({name = "call", hcom = 0, address = "0140000000", number = "0299887766"}, NO_HANDLE, nil, 2)
-- The call never got a handle: nothing reads for it, nothing tells TAPI,
-- and the command is not sent again.
run(10)
idle()
check_equal(isdn.pending_reads(), 1, "reads waiting (the listen's only)")

note("RAS gives up on it; with no handle there is nothing to clear")
check_equal(ras.drop(first.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = first.htcall}, 0)
run(3)
idle()

note("RAS dials on line 1; this time the call gets handle " .. CALL)
local call = ras.dial(line1.line, "0299887766")
check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call")
answer({name = "call", number = "0299887766"}, OK, CALL, 2)
run(2)
check_equal(isdn.pending_reads(CALL), 1, "reads waiting on the call's handle")
idle()

note("the network connects the call")
isdn.queue(CALL, {message = "APP_CONN_CO"})
call.line, call.scope = line1, scope{call = call.htcall}
local up = steps.connected(call, {within = 2})
idle()

note("a frame goes out and is taken; the next is refused and completed as failed")
local lcp = "\xff\x03\xc0\x21\x01\x01\x00\x04"
local taken = wan.send(up.link, lcp)
answer({name = "send", hcom = CALL, length = #lcp}, OK, nil, 2)
expect("completion", {packet = taken, status = "NDIS_STATUS_SUCCESS"}, 1)
local refused = wan.send(up.link, lcp)
answer({name = "send", hcom = CALL, length = #lcp}, NO_HANDLE, nil, 2)
expect("completion", {packet = refused, status = "NDIS_STATUS_FAILURE"}, 1)
idle()

note("a frame comes in from the network")
local reply = "\xff\x03\xc0\x21\x02\x01\x00\x04"
isdn.queue(CALL, {message = "APP_DATA_IN", data = reply})
expect("frame", {context = up.context, data = reply, status = "NDIS_STATUS_SUCCESS"}, 2)
idle()

note("the network clears the call; the driver answers, and the clearing is confirmed")
isdn.queue(CALL, {message = "APP_CLEAR_IN", cause = 16})
answer({name = "clear-response", hcom = CALL}, OK, nil, 2)
expect("event", "ZOLMSG_CLEAR_IN", 0)
idle()
isdn.queue(CALL, {message = "APP_CLEAR_CO"})
expect_unordered({
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line1.htline}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = call.htcall}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}},
  {"tapi", {msg = "LINE_ADDRESSSTATE", line = line1.htline}},
  {"event", "ZOLMSG_CLEAR_CO"},
  {"wan", {event = "down", context = up.context}},
}, 2)
run(3)
-- The handle is given up: no read waits on it any more.
check_equal(isdn.pending_reads(CALL), 0, "reads waiting on the cleared call's handle")
idle()

note("NDIS halts the adapter; letting go of the device ends the listen's read")
driver.halt()
check_equal(isdn.pending_reads(), 0, "reads left waiting")
check_equal(isdn.clients(), 0, "clients of the ISDN driver")
