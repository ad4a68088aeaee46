-- A listen the ISDN driver refuses is tried again, and incoming calls still reach RAS.
--
-- RAS opens its answering line and the ISDN driver refuses the listen the
-- driver then issues, once. The driver issues it again a little later, and
-- a call that comes in half a minute on is offered to TAPI.

registry.load("configs/default.reg")
exchange.local_number("0140000000")
exchange.call_in{from = "0311223344", subaddress = "12", at = 45}
ignore("event")
isdn.attach()
driver.start()
run(11)
ras.initialize()
faults.fail_nth("isdn.listen", faults.calls("isdn.listen") + 1)
local line = ras.open(1)
local refused = expect("isdn", {name = "listen", address = "0140000000*12"}, 2)
check_equal(faults.injected()[1], "isdn.listen#1", "the listen refused")
local again = expect("isdn", {name = "listen", address = "0140000000*12"}, 10)
note("listened again", again.time - refused.time, "s after the refusal")
check_equal(#exchange.listens(), 1, "listens in place")

note("a call comes in")
expect("isdn", "call-response", 40)
expect("isdn", "listen", 1)
expect("tapi", {msg = "LINE_NEWCALL", line = line.htline}, 2)
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_OFFERING"}, 0)
run(2)
driver.halt()
