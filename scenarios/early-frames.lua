-- A caller that sends before RAS answers: no frame reaches NDISWAN before its line up.
--
-- The driver accepts an incoming call towards the network before TAPI is
-- offered it; the WAN link comes up only when RAS answers, 3 s after
-- LINE_NEWCALL. The caller streams a frame every 2 s from the connection
-- on. The first one (and, as threads run, maybe the second) comes before the
-- answer, has no link to go up on and is dropped; the ones after the
-- answer are delivered on the new link, in order.

registry.load("configs/default.reg")
local CALLER = "0311223344"
exchange.local_number("0140000000")
exchange.party{number = CALLER, stream = {bytes = 24, every = 2, count = 4}}
exchange.call_in{from = CALLER, subaddress = "12", at = 20}
ignore("isdn")
ignore("event")

isdn.attach()
driver.start()
run(12)
ras.initialize()
ras.open(0)
local line = ras.open(1)
local offered = expect("tapi", {msg = "LINE_NEWCALL", line = line.htline}, 20)
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_OFFERING"}, 0)

note("the caller's first frame comes before the answer")
run(3)
check_equal(#observations("frame"), 0, "frames indicated before the line up")
check_equal(ras.answer(offered.p1).status_name, "NDIS_STATUS_SUCCESS", "answer")
expect_unordered({
  {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED"}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED"}},
  {"tapi", {msg = "LINE_ADDRESSSTATE"}},
}, 0)
local up = expect("wan", {event = "up", call = offered.p2}, 0)

note("the frames after the answer reach NDISWAN on the new link, the last ones in order")
run(8)
local frames = observations("frame")
check(#frames >= 1 and #frames <= 3, "frames delivered: " .. #frames)
for i, f in ipairs(frames) do
  expect("frame", {context = up.context, data = exchange.pattern(3 - #frames + i, 24),
                   status = "NDIS_STATUS_SUCCESS"}, 0)
end
driver.halt()
