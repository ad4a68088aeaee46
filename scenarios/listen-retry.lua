-- A listen the ISDN driver refuses is tried again, and incoming calls still reach RAS.
--
-- RAS opens its answering line and the ISDN driver refuses the listen the
-- driver then sends, twice. The driver tries again a second later, then
-- two seconds after that, and a call that comes in half a minute on is
-- offered to TAPI.

registry.load("configs/default.reg")
exchange.local_number("0140000000")
exchange.call_in{from = "0311223344", subaddress = "12", at = 45}
ignore("event")
isdn.attach()
driver.start()
run(11)
ras.initialize()
faults.fail_nth("isdn.listen", 1)
faults.fail_nth("isdn.listen", 2)
local line = ras.open(1)
expect("isdn", {name = "listen", address = "0140000000*12"}, 2)
expect("isdn", {name = "listen", address = "0140000000*12"}, 3)
expect("isdn", {name = "listen", address = "0140000000*12"}, 4)
check_equal(table.concat(faults.injected(), " "), "isdn.listen#1 isdn.listen#2", "listens refused")
check_equal(#exchange.listens(), 1, "listens in place")

note("a call comes in")
expect_unordered({{"isdn", "call-response"}, {"isdn", "listen"}}, 40)
expect("tapi", {msg = "LINE_NEWCALL", line = line.htline}, 2)
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_OFFERING"}, 0)
run(2)
driver.halt()
