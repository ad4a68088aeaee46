-- The ISDN driver comes 45 s late: what RAS gets meanwhile, and calls both ways once it is there.
--
-- The driver loads without the ISDN driver and looks for it every 10 s,
-- logging ZOLMSG_ISDN_NOT_OPEN each time. RAS opens its lines and dials
-- meanwhile: every request is accepted, but nothing reaches the network;
-- a call dropped before it was placed is released at once. When the ISDN
-- driver appears the next look opens it, the driver listens and places
-- the waiting call, frames flow, and a remote party can call in.

local steps = require "steps"

steps.machine()
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
-- image) the looks pass unseen, and their times go unchecked.
local last = 0
local function look(what)
  run(last + 10 - now())
  local e = expect("event", {name = "ZOLMSG_ISDN_NOT_OPEN", section = 1})
  if not e.waived then
    check(math.abs(e.time - last - 10) < 0.01, string.format("%s at %.3f s, %.3f s after the one before", what,
                                                            e.time, e.time - last))
  end
  last = last + 10
end
for _ = 1, 4 do
  look("a look")
end
run(45 - now())
-- Nothing reached the network or RAS while it was absent.
idle()
check_equal(#exchange.calls(), 0, "calls the network saw")
check_equal(#exchange.listens(), 0, "listens the network saw")

note("the ISDN driver appears")
isdn.attach()
look("the look that finds it")
-- The loop's first turn listens for the lines RAS opened, then places the
-- call that waited; the dropped one is not placed.
expect("isdn", {name = "listen", address = steps.LISTEN}, 2)
call.line, call.number, call.scope = line0, "0299887766", scope{call = call.htcall}
call.scope.expect("isdn", {name = "call", address = steps.LOCAL_NUMBER, number = "0299887766"}, 1)
local up = steps.connected(call)
idle()
local calls = exchange.calls()
check_equal(#calls, 1, "calls placed")
check_equal(calls[1].channel, 1, "the waiting call's B channel")

note("PPP frames go out on the link and come back")
steps.echo(call, {steps.lcp_echo(0), steps.lcp_echo(1), steps.lcp_echo(2)}, {pause = 1})

note("a remote party calls in on subaddress 12 and streams three frames, then clears")
exchange.call_in{from = "0311223344", subaddress = "12", after = 2}
local inc = steps.called(line1)
local up_in = steps.answer(inc)
check(up_in.link ~= up.link, "the two calls are two links")
for k = 0, 2 do
  inc.scope.expect("frame", {data = exchange.pattern(k, 48)}, 3)
end
steps.far_end_clears(inc)
idle()

note("RAS hangs up the first call")
-- The clearing's confirmation reports the call's end once more, to TAPI
-- and to NDISWAN.
steps.drop(call)
idle()

local b1, b2 = exchange.channels()[1], exchange.channels()[2]
check_equal(b1.frames_out, 3, "frames sent on B1")
check_equal(b1.frames_in, 3, "echoes received on B1")
check_equal(b2.frames_in, 3, "frames the caller streamed on B2")
driver.halt()
