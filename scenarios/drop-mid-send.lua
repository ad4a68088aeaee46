-- A drop while frames are being sent stops the sending at the next frame; the call is still cleared.
--
-- The ISDN driver is played by hand, so the sending pass can be caught
-- inside a send command. NDISWAN queues four frames; while the ISDN driver
-- holds the first, RAS drops the call and NDISWAN queues a fifth after its
-- line down, which is refused. The frame in hand completes as sent, the
-- three behind it as failed without reaching the ISDN driver, and the call
-- is cleared.

registry.load("configs/default.reg")
local LISTEN, CALL = 9, 4
local function answer(pattern, hcom)
  isdn.answer(expect("isdn", pattern, 2).id, 0, hcom)
end

isdn.attach()
driver.start()
run(11)
ras.initialize()
local line = ras.open(0)
answer("listen", LISTEN)
local call = ras.dial(line.line, "0299887766")
answer("call", CALL)
run(2)
isdn.queue(CALL, {message = "APP_CONN_CO"})
local up = expect("wan", {event = "up", call = call.htcall}, 2)
ignore("tapi")
ignore("event")

note("four frames queued; the ISDN driver holds the first")
local packets = {}
for k = 1, 4 do
  packets[k] = wan.send(up.link, exchange.pattern(k, 40))
end
local held = expect("isdn", {name = "send", hcom = CALL}, 2)
check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop during the pass")
expect("wan", {event = "down", context = up.context}, 0)
local _, late = wan.send(up.link, exchange.pattern(5, 40))
check_equal(late, "NDIS_STATUS_FAILURE", "a send after the line down")

note("the ISDN driver takes the frame in hand; the pass stops there")
isdn.answer(held.id, 0)
expect("completion", {packet = packets[1], status = "NDIS_STATUS_SUCCESS"}, 2)
for k = 2, 4 do
  expect("completion", {packet = packets[k], status = "NDIS_STATUS_FAILURE"}, 0)
end
answer({name = "clear", hcom = CALL})
isdn.queue(CALL, {message = "APP_CLEAR_CO"})
expect("wan", {event = "down", context = up.context}, 2)
run(2)
idle()
driver.halt()
