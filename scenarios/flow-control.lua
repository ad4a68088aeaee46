-- Flow control: bursts of large frames on a paced B channel, held back and let go by the exchange.
--
-- The exchange carries B1 at 64 kbit/s and asks the driver to stop sending
-- once four frames wait in its transmit queue (APP_FLOW_OFF), and to go on
-- when one is left (APP_FLOW_ON). NDISWAN sends a window's worth of large
-- frames at once on a connected call, twice. While the flow is off the
-- driver sends nothing; every frame still reaches the echoing party whole
-- and in order, every send is completed with success, and nothing is lost.

local steps = require "steps"

steps.machine()
exchange.pacing(true)
exchange.flow_marks{high = 4, low = 1, capacity = 8}

-- Sixteen frames fill NDISWAN's send window. Each length differs, so the
-- order of the send commands shows as well as the order of the echoes.
local BURST = 16
local function frame(k)
  return exchange.ip_frame(k, 1384 + k)
end

note("load the driver with the ISDN driver already there")
steps.start{parties = {{number = "0299887766", answer = "after", delay = 1, echo = true}}}

note("RAS opens line 0 and dials the echoing party")
local line0 = steps.open_lines{0}
local call = steps.dial(line0, "0299887766")
local up = steps.connected(call)
idle()

-- Sends frames first..last at once, then watches B1 in small steps until
-- every echo is back, noting when the exchange had the flow off.
local STEP = 0.005
local function burst(first, last)
  local packets = {}
  for k = first, last do
    local id, status = wan.send(up.link, frame(k))
    check_equal(status, "NDIS_STATUS_PENDING", "send " .. k)
    packets[k] = id
  end
  -- off[i]: from the first look that saw flow off number i to the last
  -- look before its flow on.
  local off = {}
  local start = now()
  local counted = exchange.channels()[1].flow_off
  while exchange.channels()[1].frames_in < last + 1 do
    check(now() - start < 4, "the burst is still not echoed after 4 s")
    run(STEP)
    local b1 = exchange.channels()[1]
    for i = counted + 1, b1.flow_off do
      off[i] = {from = now(), to = now()}
    end
    counted = b1.flow_off
    for i, w in pairs(off) do
      if i > b1.flow_on then
        w.to = now()
      end
    end
  end

  -- One send command per frame, in NDISWAN's order. In the instant the
  -- flow goes off the driver has not read the message yet and may still
  -- send; any send after that, before the flow is back on, went out
  -- against the exchange's word.
  for k = first, last do
    local s = expect("isdn", {name = "send", length = #frame(k)}, 5)
    for _, w in pairs(off) do
      check(not (s.time > w.from and s.time < w.to),
            string.format("frame %d sent at %.4f s while the flow was off (%.4f to %.4f s)", k, s.time, w.from, w.to))
    end
  end
  for k = first, last do
    expect("completion", {packet = packets[k], status = "NDIS_STATUS_SUCCESS"}, 5)
  end
  for k = first, last do
    expect("frame", {context = up.context, data = frame(k), status = "NDIS_STATUS_SUCCESS"}, 5)
  end
  idle()
  local n = 0
  for _ in pairs(off) do
    n = n + 1
  end
  return n
end

note("NDISWAN sends " .. BURST .. " large frames at once")
local offs = burst(0, BURST - 1)
local b1 = exchange.channels()[1]
check(offs >= 1 and b1.flow_off >= 1, "the exchange turned the flow off during the burst")
check_equal(b1.flow_on, b1.flow_off, "every flow off followed by a flow on")
check_equal(b1.frames_out, BURST, "frames the network carried to the party")
check_equal(b1.frames_in, BURST, "echoes the network carried back")
check_equal(b1.queued, 0, "frames left in the transmit queue")
check_equal(wan.pending(), 0, "sends NDISWAN still waits for")

note("a second burst, once the flow is back on, goes the same way")
local before = b1.flow_off
burst(BURST, 2 * BURST - 1)
b1 = exchange.channels()[1]
check(b1.flow_off > before, "the flow went off again in the second burst")
check_equal(b1.flow_on, b1.flow_off, "and came back on")
check_equal(b1.frames_out, 2 * BURST, "every frame carried")
check_equal(b1.frames_in, 2 * BURST, "every frame echoed")
check_equal(wan.pending(), 0, "sends NDISWAN still waits for")

note("RAS drops the call")
-- The clearing's confirmation reports the call's end once more, to TAPI
-- and to NDISWAN.
steps.drop(call)
idle()
driver.halt()
