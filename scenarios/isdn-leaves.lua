-- The ISDN driver leaves with a call up: what the driver makes of it.
--
-- The ISDN driver unloads and ends every request it held. The driver keeps
-- the device it opened and never looks for it again: sends fail, the call
-- idles out without a clear reaching the network, and RAS's drop ends it
-- on TAPI's side alone. Halt still lets everything go cleanly.

registry.load("configs/default.reg")
exchange.local_number("0140000000")
exchange.party{number = "0299887766", answer = "after", delay = 1, echo = true}

isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
-- The general loop looks for the ISDN driver every 10 s.
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
run(2)
ras.initialize()
local line = ras.open(0)
expect("isdn", "listen", 5)
local call = ras.dial(line.line, "0299887766")
expect("isdn", {name = "call", number = "0299887766"}, 5)
expect_unordered({
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED"}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", call = call.htcall}},
  {"tapi", {msg = "LINE_ADDRESSSTATE"}},
  {"event", "ZOLMSG_CONN_CO"},
}, 5)
local up = expect("wan", {event = "up", call = call.htcall})
run(1)
idle()

note("the ISDN driver leaves")
isdn.detach()
check_equal(isdn.pending_reads(), 0, "reads ended")
check_equal(exchange.calls()[1].ended, "the client closed the device", "the network's side of the call")
run(3)
idle()

note("a frame sent now fails: the device takes no more requests")
wan.send(up.link, "\xff\x03\xc0\x21\x09\x01\x00\x08\x12\x34\x56\x78")
local failed = expect("completion", {status = "NDIS_STATUS_FAILURE"}, 2)

note("the call idles out a minute after that send, but no clear reaches the network")
-- Nothing but the event log shows this time-out: run to just past it, and
-- check its time where the event hook records (not on the NT image).
run(failed.time + 61.5 - now())
local timeout = expect("event", "ZOLMSG_TIMEOUT")
if not timeout.waived then
  check(math.abs(timeout.time - failed.time - 60) <= 1.5, "the time-out counts from the last send")
end
run(5)
idle()

note("RAS drops the call: TAPI and NDISWAN hear it ended")
check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
expect_unordered({
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}},
  {"tapi", {msg = "LINE_ADDRESSSTATE"}},
  {"wan", {event = "down", context = up.context}},
}, 1)
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")

note("the ISDN driver comes back; the driver does not open it again")
isdn.attach()
run(30)
idle()
check_equal(isdn.clients(), 0, "nobody opened the new device")
driver.halt()
