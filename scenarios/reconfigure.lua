-- Reconfiguration: new registry parameters taken up through a query of the private OID 0x10.
--
-- The driver reads its Parameters at start and again only when NDIS queries
-- OID_PRIVATE_RECONFIGURE (0x00000010): on its next turn the general loop
-- reloads them, resets both line devices and moves the active listen to the
-- new local number and subaddress. A set of the OID, or a query without
-- room for the answer, asks for nothing. Calls placed afterwards get the
-- new time-out; a call already up keeps the one it started with.

local steps = require "steps"

local function address_of(device)
  local r = ndis.query("OID_TAPI_GET_ADDRESS_CAPS", {ulDeviceID = device, ulAddressID = 0})
  check_equal(r.status_name, "NDIS_STATUS_SUCCESS", "address capabilities of line " .. device)
  return r.LineAddressCaps.Address
end

note("load the driver; the ISDN driver is there")
steps.start{parties = {{number = "0299887766", answer = "after", delay = 1, echo = true}}}

note("RAS opens both lines; the driver listens on 0140000000*12")
local line0, line1 = steps.open_lines{0, 1}
check_equal(address_of(0), "1-01-00\0", "line 0's address as RAS listed it")

note("a call goes out under the 60 s time-out of the registry as loaded")
local dialled = now()
local out = steps.dial(line0, "0299887766", {address = steps.LOCAL_NUMBER})
steps.connected(out)
idle()

note("the registry changes: another number, subaddress 7, a 20 s time-out")
registry.set("Parameters", "LocalISDNAddress", "0140000099")
registry.set("Parameters", "SubAddrFilter", "7")
registry.set("Parameters", "Timeout", 20)
-- The driver does not watch the registry: a call placed now (to a number
-- nobody has, so the network clears it at once) still carries the old
-- local number.
run(3)
idle()
local probe = steps.dial(line1, "0399999999", {address = steps.LOCAL_NUMBER, within = 2})
steps.far_end_clears(probe, 2)
ras.close_call(probe.call)
run(2)
idle()

note("a set of OID 0x10 is accepted and changes nothing")
local r = ndis.set(0x10, {value = 1})
check_equal(r.status_name, "NDIS_STATUS_SUCCESS", "set of the private OID")
run(3)
idle()

note("neither does a query without room for the answer")
r = ndis.query(0x10, {length = 2})
check_equal(r.status_name, "NDIS_STATUS_BUFFER_TOO_SHORT", "query with 2 bytes")
check_equal(r.needed, 4, "bytes needed")
run(3)
idle()

note("a query of OID_PRIVATE_RECONFIGURE: the general loop takes the new values on its next turn")
r = ndis.query("OID_PRIVATE_RECONFIGURE")
check_equal(r.status_name, "NDIS_STATUS_SUCCESS", "query of the private OID")
check_equal(r.written, 4, "bytes written")
check_equal(r.value, 0, "the answer")
expect("isdn", "cancel-listen", 1.1)
expect("isdn", {name = "listen", address = "0140000099*7"}, 0.1)
expect("event", "ZOLMSG_RECONFIGURED", 0.1)
idle()
local listens = exchange.listens()
check_equal(#listens, 1, "listens in place")
check_equal(listens[1].address, "0140000099*7", "the one listen")
-- The reset of the line devices forgets what RAS listed.
check_equal(address_of(0), "xx-xx-xx\0", "line 0's address after the reset")
check_equal(address_of(1), "xx-xx-xx\0", "line 1's address after the reset")

note("a call to the old subaddress finds no listen")
exchange.call_in{from = "0311223344", to = "0140000000", subaddress = "12", after = 1}
run(3)
idle()
local calls = exchange.calls()
check_equal(calls[#calls].ended, "no listen takes it, not offered", "the old number's call")

note("a call to the new number and subaddress is offered and answered")
exchange.call_in{from = "0322334455", to = "0140000099", subaddress = "7", after = 1}
local inc = steps.called(line1, 5, "0140000099*7")
local answered = now()
steps.answer(inc)
idle()

local function idles_out(call)
  return steps.times_out(call, 90).time
end

note("the new call idles out after 20 s, the older one after its 60 s")
local t_in = idles_out(inc)
check(t_in - answered >= 19 and t_in - answered <= 22,
      string.format("the incoming call cleared %.1f s after it was answered, not about 20 s", t_in - answered))
local t_out = idles_out(out)
check(t_out - dialled >= 59 and t_out - dialled <= 62,
      string.format("the outgoing call cleared %.1f s after it was dialled, not about 60 s", t_out - dialled))
idle()

note("the next call carries the new local number")
local dialled_again = now()
local again = steps.dial(line0, "0299887766", {address = "0140000099"})
steps.connected(again)
local t_again = idles_out(again)
-- Like the first, its countdown runs from the dial, not the answer.
check(t_again - dialled_again >= 19 and t_again - dialled_again <= 22,
      string.format("the new outgoing call cleared %.1f s after it was dialled, not about 20 s",
                    t_again - dialled_again))
idle()
driver.halt()
