-- Calls that never connect: busy, refused, an unknown number, no answer.
--
-- RAS dials four numbers in turn on line 0. A busy party, a party that
-- refuses after ringing, and a number nobody has are all cleared by the
-- network: the driver answers with a clear response and TAPI sees the call
-- disconnected, then idle. The driver keeps no clearing cause, so TAPI
-- gets the normal disconnect mode every time. A party that never answers
-- rings until RAS drops the call, which the driver then clears itself.
-- None of them brings a link up, and the line is free after each.

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end

local BUSY, REFUSING, UNKNOWN, SILENT = "0255500001", "0255500002", "0299999999", "0255500004"
local REFUSE_AFTER = 3
local LINEDISCONNECTMODE_NORMAL = ndis.constant("LINEDISCONNECTMODE_NORMAL")

exchange.local_number("0140000000")
exchange.party{number = BUSY, answer = "busy"}
exchange.party{number = REFUSING, answer = "refuse", delay = REFUSE_AFTER}
exchange.party{number = SILENT, answer = "never"}

isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
-- The general loop looks for the ISDN driver every 10 s.
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
run(1)
idle()

check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
check_equal(line0.status_name, "NDIS_STATUS_SUCCESS", "open line 0")
expect("isdn", {name = "listen", address = "0140000000*12"}, 5)
idle()

local function dial(number)
  local call = ras.dial(line0.line, number)
  check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call to " .. number)
  expect("isdn", {name = "call", number = number}, 5)
  return call
end

-- What TAPI hears when the clearing is confirmed, whoever cleared.
local function expect_call_ended(call)
  expect("event", "ZOLMSG_CLEAR_CO", 2)
  expect("tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line0.htline,
                  call = call.htcall})
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = call.htcall,
                  p2 = LINEDISCONNECTMODE_NORMAL})
  expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall})
  expect("tapi", {msg = "LINE_ADDRESSSTATE", line = line0.htline})
end

-- The network clears the call: a clear response, never a clear.
local function expect_network_clear(call)
  expect("event", "ZOLMSG_CLEAR_IN", 5)
  expect("isdn", "clear-response", 1)
  expect_call_ended(call)
  run(2)
  idle()
  check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
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
local cleared = expect("isdn", "clear-response", 3)
check(cleared.time >= dialled_at + REFUSE_AFTER, "the refusal comes once the party has rung")
expect("event", "ZOLMSG_CLEAR_IN")
expect_call_ended(call)
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
expect("isdn", {name = "clear", number = SILENT}, 2)
-- The confirmation reports the end once more, under the handles the line
-- still holds.
expect_call_ended(call)
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
