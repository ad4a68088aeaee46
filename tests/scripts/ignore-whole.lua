-- A stream ignored whole still takes its places in the numbering: the
-- records of the others keep the seq they would have had.
registry.load("configs/default.reg")
exchange.local_number("0140000000")
exchange.party{number = "0299887766", answer = "after", delay = 1, echo = true}
for _, stream in ipairs({"event", "tapi"}) do
  ignore(stream)
end
isdn.attach()
driver.start()
run(12)
ras.initialize()
local line = ras.open(0)
local call = ras.dial(line.line, "0299887766")
local up = expect("wan", {event = "up", call = call.htcall}, 10)
local frame = "\xff\x03\x00\x21" .. exchange.pattern(1, 100)

local isdn = ignore("isdn")
local completions = ignore("completion")
wan.send(up.link, frame)
local first = expect("frame", {context = up.context}, 2)
unignore(completions)
-- The next frame's send command (ignored), its completion, the echo.
local packet = wan.send(up.link, frame)
local done = expect("completion", {packet = packet}, 2)
local second = expect("frame", {context = up.context}, 2)
check_equal(done.seq, first.seq + 2, "the ignored send command keeps its place")
check_equal(second.seq, first.seq + 3, "the echo after the completion")
unignore(isdn)
wan.send(up.link, frame)
local send = expect("isdn", "send", 2)
check_equal(send.seq, second.seq + 1, "once heard again, the send command is seen in its place")
expect("completion", {}, 2)
expect("frame", {context = up.context}, 2)
ignore("isdn")
ras.drop(call.call)
expect("wan", {event = "down", context = up.context}, 5)
ras.close_call(call.call)
