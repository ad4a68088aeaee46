-- A connected call with nothing sent is cleared by the driver after Timeout seconds.
--
-- With Timeout set to 20 s, RAS keeps a call up for well over twice that
-- by sending a frame every 8 s. The party streams frames meanwhile and for
-- a while after RAS stops sending, but frames received do not restart the
-- countdown: the call idles out 20 s after the last send (ZOLMSG_TIMEOUT),
-- sooner than 20 s after the last frame received. The driver clears the
-- ISDN call and TAPI and NDISWAN see the call end as after any clearing.

local steps = require "steps"

steps.machine()
local TIMEOUT = 20
registry.set("Parameters", "Timeout", TIMEOUT)

local PARTY = "0299887766"
-- Connected at 14.25 s, the party streams every 3 s until 68.25 s: five
-- frames after RAS's last send, none near the time-out. The quarter second
-- keeps frames and sends off the timer's whole seconds.
local STREAM_FRAMES = 18
exchange.party{number = PARTY, answer = "after", delay = 1.25,
               stream = {bytes = 48, every = 3, count = STREAM_FRAMES}}

-- The party's frames are counted at the exchange, not one by one.

steps.start()
local line0 = steps.open_lines{0}

note("RAS dials " .. PARTY)
local call = steps.dial(line0, PARTY)
local up = steps.connected(call, {speed = 64000})
idle()

run(0.5)
local rx = 0
local function drain()
  for _ in ipairs(observations("frame")) do
    expect("frame", {context = up.context, data = exchange.pattern(rx, 48)}, 0); rx = rx + 1
  end
end

note("RAS sends every 8 s for 48 s: the call stays up")
local last_send, received_at_last_send
for i = 1, 6 do
  local frame = steps.lcp_echo(i)
  local packet = wan.send(up.link, frame)
  last_send = now()
  received_at_last_send = exchange.channels()[1].frames_in
  expect("isdn", {name = "send", length = #frame}, 2)
  expect("completion", {packet = packet, status = "NDIS_STATUS_SUCCESS"}, 2)
  run(8 - (now() - last_send))
  drain()
  idle()
end
check(now() - up.time > 2 * TIMEOUT, "the call outlived the time-out twice over")
check(wan.links()[1].up, "the link is still up")

note("RAS falls silent; the party streams a while longer")
local timeout = steps.times_out(call, TIMEOUT + 2)
local silent_for = timeout.time - last_send
drain()
check_equal(rx, STREAM_FRAMES, "frames delivered to NDISWAN before the time-out")
check(silent_for >= TIMEOUT - 1 and silent_for <= TIMEOUT + 1,
      "time-out " .. silent_for .. " s after the last send, Timeout is " .. TIMEOUT .. " s")
check_equal(exchange.channels()[1].frames_in, STREAM_FRAMES, "frames the party streamed")
check(STREAM_FRAMES - received_at_last_send >= 5, "frames kept coming in after the last send")
check(timeout.time < up.time + 3 * STREAM_FRAMES + TIMEOUT, "frames received did not hold the call up")

run(2)
idle()

local c = exchange.calls()[1]
check_equal(c.state, "released", "the call at the exchange")
check_equal(c.ended, "cleared by the driver", "how it ended")
check_equal(exchange.channels()[1].frames_out, 6, "frames sent on B1")

note("RAS deallocates the call")
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
run(2)
idle()
