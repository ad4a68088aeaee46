-- A requested call released before it was placed is reported ended, and frees its line.
--
-- RAS dials and NDIS resets the adapter before the general thread has
-- placed the call: the reset releases it. Then the time-out is set to 0
-- (65536 cut to 16 bits) and the next call's countdown has run out before
-- it is placed, so the general thread releases it unplaced. Each time TAPI
-- hears the call disconnected, then idle, and the line takes the next
-- call; nothing reaches the ISDN driver for either.

registry.load("configs/default.reg")
exchange.local_number("0140000000")
driver.start()
isdn.attach()
ignore("event")
run(11)
check_equal(ras.initialize().lines, 2, "line devices")
local line = ras.open(1)
expect("isdn", "listen", 5)

local function released(call, why)
  check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call " .. why)
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = call.htcall}, 2)
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}, 0)
  expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line.htline}, 0)
  check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call " .. why)
end

note("a reset before the call is placed")
local first = ras.dial(line.line, "0299887766")
check_equal(driver.reset(), ndis.constant("NDIS_STATUS_SUCCESS"), "reset")
released(first, "before the reset")

note("a countdown at 0 before the call is placed")
registry.set("Parameters", "Timeout", 65536, "REG_DWORD")
ndis.query(0x10)
expect("isdn", "cancel-listen", 2)
expect("isdn", "listen", 0)
released(ras.dial(line.line, "0299887766"), "with no time left")
run(2)
idle()
driver.halt()
