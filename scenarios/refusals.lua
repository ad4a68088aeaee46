-- Calls that never connect: busy, refused, an unknown number, no answer.
--
-- RAS dials four numbers in turn on line 0. A busy party, a party that
-- refuses after ringing, and a number nobody has are all cleared by the
-- network: the driver answers with a clear response and TAPI sees the call
-- disconnected, then idle. The driver keeps no clearing cause, so TAPI
-- gets the normal disconnect mode every time. A party that never answers
-- rings until RAS drops the call, which the driver then clears itself.
-- None of them brings a link up, and the line is free after each.

local steps = require "steps"

local BUSY, REFUSING, UNKNOWN, SILENT = "0255500001", "0255500002", "0299999999", "0255500004"
local REFUSE_AFTER = 3

steps.start{parties = {{number = BUSY, answer = "busy"},
                       {number = REFUSING, answer = "refuse", delay = REFUSE_AFTER},
                       {number = SILENT, answer = "never"}}}
local line0 = steps.open_lines{0}

local function dial(number)
  return steps.dial(line0, number)
end

-- The network clears the call: a clear response, never a clear; RAS then
-- deallocates the call.
local function expect_network_clear(call)
  steps.far_end_clears(call, 5)
  run(2)
  idle()
  check_equal(ras.close_call(call.call).status_name, steps.SUCCESS, "close call")
  run(1)
  idle()
end

local function last_call(cause, ended)
  local calls = exchange.calls()
  local c = calls[#calls]
  check_equal(c.state, "released", "the call at the exchange")
  check(c.connected == nil, "the call never connected")
  check_equal(c.cause, cause, "clearing cause")
  check_equal(c.ended, ended, "how it ended")
  return c
end

note("a busy party")
local call = dial(BUSY)
expect_network_clear(call)
last_call(17, "cleared by " .. BUSY .. " (busy), cause 17")

note("a party that rings, then refuses")
local dialled_at = now()
call = dial(REFUSING)
run(REFUSE_AFTER - 1)
idle()
local cleared = steps.far_end_clears(call, 3)
check(cleared.time >= dialled_at + REFUSE_AFTER, "the refusal comes once the party has rung")
run(2)
idle()
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
last_call(21, "cleared by " .. REFUSING .. " (refuses), cause 21")

note("a number nobody has")
call = dial(UNKNOWN)
expect_network_clear(call)
local c = last_call(1, "cleared by the network (" .. UNKNOWN .. " is not a number), cause 1")
check_equal(c.channel, 0, "an unknown number never gets a B channel")

note("a party that never answers; RAS gives up after 15 s")
call = dial(SILENT)
run(15)
idle()
check_equal(exchange.calls()[#exchange.calls()].state, "dialling", "the call still rings")
check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
-- TAPI never heard of the call going anywhere, so idle is no change of
-- address state.
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}, 0)
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
-- The driver clears; the confirmation reports the end once more, under
-- the handles the line still holds.
steps.cleared(call, "clear")
run(2)
idle()
last_call(0, "cleared by the driver")

check_equal(#wan.links(), 0, "no link ever came up")
for i, ch in ipairs(exchange.channels()) do
  check_equal(ch.handle, 0, "B" .. i .. " is free")
  check_equal(ch.frames_out + ch.frames_in, 0, "nothing was carried on B" .. i)
end
note("the line is free after the last one too")
expect_network_clear(dial(BUSY))
