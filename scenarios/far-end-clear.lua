-- The far end clears an outgoing call; the driver confirms and ends the call.
--
-- The party answers, echoes a few frames and clears 8 s after the
-- connection. The driver hears APP_CLEAR_IN, answers it with a clear
-- response (never a clear of its own), and on the confirmation tells TAPI
-- the call is disconnected, then idle, and takes the link down. A frame
-- NDISWAN still sends on the dead link is answered at once and goes
-- nowhere. RAS then deallocates the call.

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end

local PARTY = "0299887766"
local CLEAR_AFTER = 8
local LINEDISCONNECTMODE_NORMAL = ndis.constant("LINEDISCONNECTMODE_NORMAL")

exchange.local_number("0140000000")
exchange.party{number = PARTY, answer = "after", delay = 1, echo = true, clear_after = CLEAR_AFTER}

isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
-- The general loop looks for the ISDN driver every 10 s.
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
run(1)
idle()

check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
check_equal(line0.status_name, "NDIS_STATUS_SUCCESS", "open line 0")
expect("isdn", {name = "listen", address = "0140000000*12"}, 5)

note("RAS dials " .. PARTY)
local call = ras.dial(line0.line, PARTY)
check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call")
expect("isdn", {name = "call", number = PARTY}, 5)
expect("event", "ZOLMSG_CONN_CO", 5)
expect("tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED", line = line0.htline})
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", call = call.htcall})
expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline})
local up = expect("wan", {event = "up", call = call.htcall})
local connected_at = up.time
idle()

note("a few frames while the call lasts")
for i = 1, 3 do
  local frame = "\xff\x03\xc0\x21\x09" .. string.char(i) .. "\x00\x08\x0a\x0b\x0c\x0d"
  local packet = wan.send(up.link, frame)
  expect("isdn", {name = "send", length = #frame}, 2)
  expect("completion", {packet = packet, status = "NDIS_STATUS_SUCCESS"}, 2)
  expect("frame", {context = up.context, data = exchange.echo_reply(PARTY, frame)}, 2)
  run(1)
end
idle()

note("the party clears")
-- Cleared by the network: the driver responds, it does not clear.
local cleared = expect("isdn", "clear-response", CLEAR_AFTER + 2)
check(cleared.time >= connected_at + CLEAR_AFTER, "the clearing comes from the party, on its time")
expect("event", "ZOLMSG_CLEAR_IN")
expect("event", "ZOLMSG_CLEAR_CO", 2)
expect("tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line0.htline,
                call = call.htcall})
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = call.htcall,
                p2 = LINEDISCONNECTMODE_NORMAL})
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall})
expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline})
expect("wan", {event = "down", context = up.context})
run(2)
idle()

local c = exchange.calls()[1]
check_equal(c.state, "released", "the call at the exchange")
check_equal(c.cause, 16, "clearing cause")
check_equal(c.ended, "cleared by " .. PARTY .. ", cause 16", "how it ended")
check_equal(exchange.channels()[1].handle, 0, "B1 is free")

note("NDISWAN sends on the dead link")
local _, status = wan.send(up.link, "\xff\x03\xc0\x21\x09\x09\x00\x08\x0a\x0b\x0c\x0d")
check_equal(status, "NDIS_STATUS_SUCCESS", "a send after the line went down")
run(2)
idle()
check_equal(exchange.channels()[1].frames_out, 3, "frames that reached B1")

note("RAS deallocates the call")
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
run(2)
idle()
