-- The far end clears an outgoing call; the driver confirms and ends the call.
--
-- The party answers, echoes a few frames and clears 8 s after the
-- connection. The driver hears APP_CLEAR_IN, answers it with a clear
-- response (never a clear of its own), and on the confirmation tells TAPI
-- the call is disconnected, then idle, and takes the link down. A frame
-- NDISWAN still sends on the dead link is answered at once and goes
-- nowhere. RAS then deallocates the call.

local steps = require "steps"

local PARTY = "0299887766"
local CLEAR_AFTER = 8

steps.start{parties = {{number = PARTY, answer = "after", delay = 1, echo = true, clear_after = CLEAR_AFTER}}}
local line0 = steps.open_lines{0}

note("RAS dials " .. PARTY)
local call = steps.dial(line0, PARTY)
local up = steps.connected(call)
idle()

note("a few frames while the call lasts")
steps.echo(call, {steps.lcp_echo(1), steps.lcp_echo(2), steps.lcp_echo(3)}, {pause = 1})

note("the party clears")
local cleared = steps.far_end_clears(call, CLEAR_AFTER + 2)
check(cleared.time >= up.time + CLEAR_AFTER, "the clearing comes from the party, on its time")
run(2)
idle()

local c = exchange.calls()[1]
check_equal(c.state, "released", "the call at the exchange")
check_equal(c.cause, 16, "clearing cause")
check_equal(c.ended, "cleared by " .. PARTY .. ", cause 16", "how it ended")
check_equal(exchange.channels()[1].handle, 0, "B1 is free")

note("NDISWAN sends on the dead link")
local _, status = wan.send(up.link, steps.lcp_echo(9))
check_equal(status, "NDIS_STATUS_SUCCESS", "a send after the line went down")
run(2)
idle()
check_equal(exchange.channels()[1].frames_out, 3, "frames that reached B1")

note("RAS deallocates the call")
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
run(2)
idle()
