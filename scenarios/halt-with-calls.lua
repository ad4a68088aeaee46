-- Halt with two calls up and frames in flight: nothing is cleared or reported, every send completes.
--
-- An outgoing call on B1 carries frames to a party that echoes them; a
-- caller on B2 streams frames in. NDISWAN sends a burst on B1 that the
-- paced line holds back, and NDIS halts the adapter while both calls are
-- up. Halt sends nothing to the ISDN driver and tells neither TAPI nor
-- NDISWAN about the calls; letting go of the ISDN device ends them at the
-- exchange. The frames the driver still held are completed as failed, the
-- ones it had handed on as sent, each exactly once, and the teardown
-- checks find nothing left behind.

local steps = require "steps"

steps.machine()
exchange.party{number = "0311223344", stream = {bytes = 64, every = 1, count = 0}}
exchange.pacing(true)
exchange.flow_marks{high = 4, low = 1, capacity = 8}

note("load the driver with the ISDN driver there; RAS opens both lines")
steps.start{parties = {{number = "0299887766", answer = "after", delay = 1, echo = true}}}
local line0, line1 = steps.open_lines{0, 1}

note("an outgoing call on B1")
local out = steps.dial(line0, "0299887766")
local up = steps.connected(out)
idle()

note("an incoming call on B2, answered at once; the caller streams a frame a second")
exchange.call_in{from = "0311223344", subaddress = "12", after = 1}
local inc = steps.called(line1)
local up_in = steps.answer(inc)
check(up_in.link ~= up.link, "the two calls are two links")

note("frames flow both ways on both calls")
for k = 0, 2 do
  -- Each call in its scope: the other's frame passes by its steps.
  steps.echo(out, {steps.lcp_echo(k)})
  inc.scope.expect("frame", {data = exchange.pattern(k, 64)}, 2)
end
idle()

note("NDISWAN sends a burst of large frames on B1; the paced line holds most of it back")
-- From here on, up to the halt's last turns of the loops, frames go out and
-- come in as the scheduling has it; the completions account for every send.
ignore("isdn", "send")
ignore("frame")
local burst = {}
for k = 1, 16 do
  burst[k] = wan.send(up.link, exchange.ip_frame(k, 1404))
end
run(0.1)
local before = exchange.channels()
check(before[1].flow_off > before[1].flow_on, "the flow on B1 is off when NDIS halts")

note("NDIS halts the adapter with both calls up")
driver.halt()

-- Frames go to the ISDN driver in NDISWAN's order, so those handed on are
-- the first of the burst and those still held the last.
local sent, failed = 0, 0
for k = 1, 16 do
  local c = expect("completion", {packet = burst[k]}, 0)
  if c.status == "NDIS_STATUS_SUCCESS" then
    check_equal(failed, 0, "frame " .. k .. " completed as sent after a frame still held")
    sent = sent + 1
  else
    check_equal(c.status, "NDIS_STATUS_FAILURE", "completion of frame " .. k)
    failed = failed + 1
  end
end
check(sent >= 1 and failed >= 1, "some frames handed on, some still held at halt")
check_equal(wan.pending(), 0, "sends NDISWAN still waits for")

-- Neither TAPI nor NDISWAN hears of the calls, and no clearing or other
-- command reached the ISDN driver.
idle()
for _, l in ipairs(wan.links()) do
  check(l.up, "NDISWAN still has link " .. l.link .. " up")
end
local calls = exchange.calls()
check_equal(#calls, 2, "calls at the exchange")
for _, c in ipairs(calls) do
  check_equal(c.ended, "the client closed the device", "how the call with " .. c.remote .. " ended")
end
check_equal(#exchange.listens(), 0, "listens left at the exchange")
check_equal(isdn.pending_reads(), 0, "reads left pending at the ISDN driver")
check_equal(isdn.clients(), 0, "clients of the ISDN driver")
