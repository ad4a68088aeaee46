-- RAS dials out, PPP frames go both ways, RAS drops the call and dials again.
--
-- Line 0 dials a party that answers after 4 s and echoes every frame. TAPI
-- and NDISWAN hear nothing until the party answers; then the line comes up,
-- each frame sent goes out once on the B channel and comes back on the
-- same link, intact. RAS drops the call: the link goes down at once, the
-- driver clears the ISDN call on its next turn, and the line is free for a
-- second call, which gets a link of its own.

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end

local PARTY = "0299887766"
local ANSWER_DELAY = 4
local LINEDISCONNECTMODE_NORMAL = ndis.constant("LINEDISCONNECTMODE_NORMAL")

exchange.local_number("0140000000")
exchange.party{number = PARTY, answer = "after", delay = ANSWER_DELAY, echo = true}

isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
-- The general thread opens the ISDN driver on its first look, 10 s in.
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
run(1)
idle()

note("RAS opens line 0")
check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
check_equal(line0.status_name, "NDIS_STATUS_SUCCESS", "open line 0")
expect("isdn", {name = "listen", address = "0140000000*12"}, 5)
idle()

-- One call: dial, connect, frames, drop. Returns what the call saw.
local function one_call(dial, frames)
  local dialled_at = now()
  local call = ras.dial(line0.line, dial)
  check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call")
  check(call.call ~= 0 and call.htcall ~= 0, "make call gives both call handles")
  expect("isdn", {name = "call", number = PARTY}, 5)

  -- While the party rings nobody is told anything.
  run(ANSWER_DELAY - 1)
  idle()

  expect("event", "ZOLMSG_CONN_CO", 5)
  expect("tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED", line = line0.htline,
                  call = call.htcall})
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", line = line0.htline,
                  call = call.htcall})
  expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline, call = call.htcall})
  local up = expect("wan", {event = "up", speed = 64000, call = call.htcall})
  check(up.time >= dialled_at + ANSWER_DELAY, "the line comes up only once the party has answered")
  idle()

  note("frames out, echoes back on the same link")
  for i, frame in ipairs(frames) do
    local packet, status = wan.send(up.link, frame)
    check_equal(status, "NDIS_STATUS_PENDING", "send " .. i)
    expect("isdn", {name = "send", length = #frame}, 2)
    expect("completion", {packet = packet, status = "NDIS_STATUS_SUCCESS"}, 2)
    expect("frame", {context = up.context, data = exchange.echo_reply(PARTY, frame), status = "NDIS_STATUS_SUCCESS"}, 2)
    run(0.5)
  end
  idle()

  note("RAS drops the call")
  check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
  -- The drop itself takes the link down and tells TAPI the call is idle.
  expect("wan", {event = "down", context = up.context}, 0)
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}, 0)
  expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline}, 0)
  check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")

  -- The general thread clears the ISDN call on its next turn; the
  -- confirmation ends the call on the driver's side and reports the end
  -- once more, under the handles the line still holds, link down included.
  expect("isdn", {name = "clear", number = PARTY}, 2)
  expect("event", "ZOLMSG_CLEAR_CO", 2)
  expect("tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line0.htline})
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = call.htcall,
                  p2 = LINEDISCONNECTMODE_NORMAL})
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall})
  expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline})
  expect("wan", {event = "down", context = up.context})
  run(1)
  idle()
  check(not wan.links()[#wan.links()].up, "the link stays down")
  return call, up
end

local lcp = "\xff\x03\xc0\x21"
local first_frames = {}
for i = 0, 4 do
  first_frames[#first_frames + 1] = lcp .. "\x09" .. string.char(i) .. "\x00\x08\x12\x34\x56\x78"
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
local call2, up2 = one_call("0299887766", {lcp .. "\x09\x10\x00\x08\x9a\xbc\xde\xf0"})
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
