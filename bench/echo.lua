-- Bench load: two calls to echoing parties, then `arg[1]` 1500-byte frames
-- on the first, each echo checked with expect, then `arg[2]` virtual
-- minutes with both calls up and idle, then `arg[3]` more calls one after
-- the other on the second line.
local FRAMES = tonumber(arg[1] or "0")
local IDLE_MINUTES = tonumber(arg[2] or "0")
local CALLS = tonumber(arg[3] or "0")

registry.load("configs/default.reg")
registry.set("Parameters", "Timeout", 1000000) -- calls never idle out here

exchange.local_number("0140000000")
exchange.party{number = "0299887766", answer = "after", delay = 1, echo = true}
exchange.party{number = "0299887777", answer = "after", delay = 1, echo = true}

for _, stream in ipairs({"event", "tapi", "isdn", "completion"}) do
  ignore(stream)
end

isdn.attach()
driver.start()
run(12)
ras.initialize()
local line0 = ras.open(0)
local line1 = ras.open(1)
local call0 = ras.dial(line0.line, "0299887766")
local up0 = expect("wan", {event = "up", call = call0.htcall}, 10)
local call1 = ras.dial(line1.line, "0299887777")
local up1 = expect("wan", {event = "up", call = call1.htcall}, 10)
check(up1.link ~= up0.link, "two links")

local frame = "\xff\x03\x00\x21" .. exchange.pattern(7, 1496)
for _ = 1, FRAMES do
  wan.send(up0.link, frame)
  expect("frame", {context = up0.context}, 2)
end

run(IDLE_MINUTES * 60)
idle()

-- Only the second line carries the calls that follow.
if CALLS > 0 then
  ras.drop(call0.call)
  expect("wan", {event = "down", context = up0.context}, 0)
  ras.close_call(call0.call)
  expect("wan", {event = "down", context = up0.context}, 5)
end
local call = call1
local up = up1
for _ = 1, CALLS do
  ras.drop(call.call)
  expect("wan", {event = "down", context = up.context}, 0)
  ras.close_call(call.call)
  expect("wan", {event = "down", context = up.context}, 5)
  run(1)
  call = ras.dial(line1.line, "0299887777")
  up = expect("wan", {event = "up", call = call.htcall}, 10)
end
