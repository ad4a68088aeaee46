-- A call command the ISDN driver refuses does not keep the line in use.
--
-- RAS dials on line 0 and the ISDN driver refuses the call command, so the
-- call never gets a handle. RAS drops it: there is nothing to clear, the
-- channel is freed, and the line takes the next call. Before, the line kept
-- the dropped call's TAPI handle and answered every later make-call
-- NDIS_STATUS_TAPI_INUSE until RAS reopened it.

registry.load("configs/default.reg")
local PARTY = "0299887766"
exchange.local_number("0140000000")
exchange.party{number = PARTY, delay = 1}
ignore("event")
isdn.attach()
driver.start()
run(11)
ras.initialize()
local line = ras.open(0)
expect("isdn", "listen", 5)

note("the ISDN driver refuses the first call command")
faults.fail_nth("isdn.call", faults.calls("isdn.call") + 1)
local refused = ras.dial(line.line, PARTY)
check_equal(refused.status_name, "NDIS_STATUS_SUCCESS", "make call")
expect("isdn", {name = "call", number = PARTY}, 2)
check_equal(#faults.injected(), 1, "call commands refused")
run(2)
check_equal(ras.drop(refused.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = refused.htcall}, 0)
check_equal(ras.close_call(refused.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
run(2)
idle()

note("the line takes the next call, which connects")
local call = ras.dial(line.line, PARTY)
check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call after the refusal")
expect("isdn", {name = "call", number = PARTY}, 2)
expect_unordered({
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED", call = call.htcall}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", call = call.htcall}},
  {"tapi", {msg = "LINE_ADDRESSSTATE"}},
}, 3)
expect("wan", {event = "up", call = call.htcall}, 0)
driver.halt()
