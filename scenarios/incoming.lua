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

local steps = require "steps"

local CALLER = "0311223344"

steps.machine()
exchange.party{number = CALLER, echo = true, stream = {bytes = 80, every = 2, count = 3}}
-- Calls the listen does not take, all before RAS is ready.
exchange.call_in{from = "0355555555", subaddress = "34", at = 25}
exchange.call_in{from = "0355555555", at = 26}
exchange.call_in{from = "0355555555", to = "0150000000", subaddress = "12", at = 27}
exchange.call_in{from = CALLER, subaddress = "12", at = 40}
steps.start()

note("RAS opens both lines; the driver listens")
local _, line1 = steps.open_lines{0, 1}

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
local call = steps.called(line1, 15)
-- Offered, not answered: no link yet.
check_equal(#wan.links(), 0, "links before the answer")

note("RAS answers")
steps.answer(call)
idle()

local incoming = exchange.calls()[4]
check_equal(incoming.remote, CALLER, "caller")
check_equal(incoming.subaddress, "12", "called subaddress")
check_equal(incoming.state, "connected", "the call at the exchange")

note("the caller streams three frames")
for k = 0, 2 do
  call.scope.expect("frame", {context = call.context, data = exchange.pattern(k, 80), status = steps.SUCCESS}, 3)
end
idle()

note("RAS sends; the caller echoes")
steps.echo(call, {
  "\xff\x03\xc0\x21\x01\x01\x00\x0e\x01\x04\x05\xdc\x05\x06\x11\x22\x33\x44",
  exchange.ip_frame(40, 304),
})

note("RAS drops the call")
steps.drop(call)
run(2)
idle()

incoming = exchange.calls()[4]
check_equal(incoming.state, "released", "the call at the exchange")
check_equal(incoming.ended, "cleared by the driver", "how it ended")
local listens = exchange.listens()
check_equal(#listens, 1, "listens after the call")
check_equal(listens[1].address, steps.LISTEN, "the listen in place")
