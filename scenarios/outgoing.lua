-- RAS dials out, PPP frames go both ways, RAS drops the call and dials again.
--
-- Line 0 dials a party that answers after 4 s and echoes every frame. TAPI
-- and NDISWAN hear nothing until the party answers; then the line comes up,
-- before TAPI hears the call is connected; each frame sent goes out once on
-- the B channel and comes back on the same link, intact. RAS drops the
-- call: the link goes down at once, the driver clears the ISDN call on its
-- next turn, and the line is free for a second call, which gets a link of
-- its own.

local steps = require "steps"

local PARTY = "0299887766"
local ANSWER_DELAY = 4

steps.start{parties = {{number = PARTY, answer = "after", delay = ANSWER_DELAY, echo = true}}}
note("RAS opens line 0")
local line0 = steps.open_lines{0}

-- One call: dial, connect, frames, drop. Returns what the call saw.
local function one_call(dial, frames)
  local dialled_at = now()
  local before = ndis.status_counts()
  local call = steps.dial(line0, PARTY, {dial = dial})
  -- While the party rings nobody is told anything.
  run(ANSWER_DELAY - 1)
  idle()
  local up = steps.connected(call)
  check(up.time >= dialled_at + ANSWER_DELAY, "the line comes up only once the party has answered")
  -- The line up as NDISWAN reads it: LinkSpeed in 100 bit/s, a reliable
  -- line (NdisWanReliable, 2), and a window of 16 frames.
  check_equal(up.link_speed, 640, "LinkSpeed")
  check_equal(up.quality, 2, "Quality")
  check_equal(up.send_window, 16, "SendWindow")
  -- Each of the four indications of the connection is followed by its
  -- NdisMIndicateStatusComplete.
  local after = ndis.status_counts()
  check_equal(after.indications - before.indications, 4, "status indications of the connection")
  check_equal(after.completes - before.completes, 4, "status completes of the connection")
  idle()

  note("frames out, echoes back on the same link")
  steps.echo(call, frames, {pause = 0.5})
  note("RAS drops the call")
  steps.drop(call)
  run(1)
  idle()
  check(not wan.links()[#wan.links()].up, "the link stays down")
  return call, up
end

local first_frames = {}
for i = 0, 4 do
  first_frames[#first_frames + 1] = steps.lcp_echo(i)
end
-- An IP datagram the size of a full PPP MRU.
first_frames[#first_frames + 1] = exchange.ip_frame(7, 1504)

note("RAS dials " .. PARTY .. " on line 0")
local call1, up1 = one_call("0299-887 766", first_frames)

local calls = exchange.calls()
check_equal(#calls, 1, "calls the exchange saw")
check_equal(calls[1].state, "released", "first call")
check_equal(calls[1].ended, "cleared by the driver", "how the first call ended")
check_equal(calls[1].channel, 1, "first call's B channel")

note("a second call on the same line")
local call2, up2 = one_call(PARTY, {steps.lcp_echo(16)})
check(call2.htcall ~= call1.htcall, "TAPI knows the second call by a new handle")
-- A line up naming the old link context would only change that link.
check(up2.context ~= up1.context, "the second call has a link of its own")

calls = exchange.calls()
check_equal(#calls, 2, "calls the exchange saw")
check_equal(calls[2].state, "released", "second call")

local b1, b2 = exchange.channels()[1], exchange.channels()[2]
check_equal(b1.frames_out, #first_frames + 1, "frames sent on B1")
check_equal(b1.frames_in, #first_frames + 1, "echoes received on B1")
check_equal(b2.frames_out + b2.frames_in, 0, "B2 carried nothing")
check_equal(b1.handle, 0, "B1 is free")
