-- The demonstration: calls both ways through the ISDN exchange, then halt.
--
-- The machine is configured from configs/default.reg (the simulator
-- imports it before a run of the demonstration; a script run imports it
-- here). The ISDN driver appears 10 s after the driver loads, RAS opens
-- both lines and dials a party that echoes, PPP frames go both ways, a
-- remote party calls in, streams data and clears, the outgoing call idles
-- out after the 60 s time-out, RAS closes the lines and NDIS halts the adapter.

local steps = require "steps"

steps.machine()
exchange.party{number = "0299887766", answer = "after", delay = 2, echo = true}
exchange.party{number = "0311223344", stream = {bytes = 64, every = 2, count = 5}, clear_after = 15}
exchange.call_in{from = "0311223344", subaddress = "12", at = 45}

-- Every frame NDISWAN receives is expected; the ISDN driver's send
-- commands and NDISWAN's completions are counted at the end instead.
ignore("isdn", "send")
ignore("completion")

note("load the driver; no ISDN driver yet")
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")

note("the ISDN driver appears")
isdn.attach()
-- The general loop looks for it every 10 s.
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
run(2)
idle()

note("RAS initialises the provider and opens both lines")
-- A line that answers calls has the driver listen on the local number.
local line0, line1 = steps.open_lines({0, 1}, {idle = false})

note("RAS dials 0299887766 on line 0")
local call = steps.dial(line0, "0299887766", {dial = "0299-887 766", within = 10})
local up = steps.connected(call, {within = 10})

note("PPP frames go out on the link; the far end echoes them")
for i = 0, 9 do
  local f = steps.lcp_echo(i)
  wan.send(up.link, f)
  expect("frame", {context = up.context, data = exchange.echo_reply("0299887766", f)}, 1)
  run(1)
end
idle()

note("a remote party calls in on subaddress 12")
local inc = steps.called(line1, 40)
note("RAS answers the incoming call")
local up_in = steps.answer(inc)
for k = 0, 4 do
  inc.scope.expect("frame", {context = up_in.context, data = exchange.pattern(k, 64)}, 3)
end

note("the caller streams five frames, then clears")
steps.far_end_clears(inc, 30)
idle()

note("nothing is sent on the outgoing call; it idles out")
steps.times_out(call, 90)
run(2)
idle()

local b1, b2 = exchange.channels()[1], exchange.channels()[2]
check_equal(b1.frames_out, 10, "frames sent on B1")
check_equal(b1.frames_in, 10, "echoes received on B1")
check_equal(b2.frames_in, 5, "frames the caller streamed on B2")

note("the line stays quiet for a minute; then RAS closes both lines")
run(60)
idle()
for _, line in ipairs({line0, line1}) do
  check_equal(ras.close(line.line).status_name, "NDIS_STATUS_SUCCESS", "close a line")
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", line = line.htline, call = 0}, 1)
end
run(1)
idle()

note("NDIS halts the adapter")
driver.halt()
