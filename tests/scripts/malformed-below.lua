-- The ISDN driver below hands the driver malformed messages and answers; the driver survives them.
--
-- Raw messages: code 0 and unknown codes are read and ignored; a calling
-- number that fills its field with no NUL; APP_DATA_IN whose data_length
-- passes the 2048-byte room (dropped), is 0, or is larger than the data.
-- Raw answers: a call command answered with a status no ISDN driver uses
-- and a byte count short of the block, and a send answered with forged
-- command and code bytes. The verifier watches throughout.
registry.load("configs/default.reg")
local OK, LISTEN, IN, OUT = 0, 7, 5, 3

local function answer(pattern, status, hcom, within)
  local c = expect("isdn", pattern, within or 2)
  isdn.answer(c.id, status, hcom)
  return c
end

isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
expect("event", "ZOLMSG_ISDN_NOT_OPEN", 11)
check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
local line1 = ras.open(1)
answer({name = "listen"}, OK, LISTEN, 5)
run(5)
idle()

note("code 0 and unknown codes on the listen's handle are read and ignored")
isdn.queue_raw(LISTEN, {code = 0})
isdn.queue_raw(LISTEN, {code = 0x55, data = "xx", data_length = 65535})
isdn.queue_raw(LISTEN, {code = 0xFF, status = 0})
run(2)
idle()
check_equal(isdn.pending_reads(LISTEN), 1, "the listen reads on")

note("an incoming call whose calling number fills its 33 bytes with no NUL")
isdn.queue_raw(LISTEN, {code = 0x61, handle = IN, number = string.rep("9", 33), cause = 0x39})
expect("event", "ZOLMSG_CONN_IN", 2)
answer({name = "call-response", hcom = IN}, OK, nil, 0)
answer({name = "listen"}, OK, LISTEN, 2)
run(2)
idle()
isdn.queue_raw(IN, {code = 0x62})
local offered = expect("tapi", {msg = "LINE_NEWCALL", line = line1.htline, call = 0}, 2)
expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_OFFERING"}, 0)
expect("event", "ZOLMSG_CONN_CO", 0)
local tapi = ignore("tapi")
check_equal(ras.answer(offered.p1).status_name, "NDIS_STATUS_SUCCESS", "answer")
local up = expect("wan", {event = "up"}, 2)
idle()

note("data_length past the room: the frame is dropped, nothing overruns")
isdn.queue_raw(IN, {code = 0x7A, data = "\xff\x03\xc0\x21\x09\x01\x00\x04", data_length = 4000})
run(2)
idle()
note("data_length 0, and data_length larger than the data sent")
isdn.queue_raw(IN, {code = 0x7A, data = "", data_length = 0})
expect("frame", {context = up.context, length = 0}, 2)
isdn.queue_raw(IN, {code = 0x7A, data = "abc", data_length = 2048})
expect("frame", {context = up.context, length = 2048}, 2)
idle()
check_equal(isdn.pending_reads(IN), 1, "the call reads on")

note("an outgoing call answered with a status no ISDN driver uses and a short byte count")
local call = ras.dial(line0.line, "0299887766")
check_equal(call.status_name, "NDIS_STATUS_SUCCESS", "make call")
local c = expect("isdn", {name = "call", number = "0299887766"}, 2)
isdn.answer_raw(c.id, {status = 0xFFFFFFFF, handle = OUT, length = 6})
run(5)
idle()
check_equal(isdn.pending_reads(OUT), 0, "nothing reads for a refused call")
check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
run(3)
idle()

note("a send answered with forged command and code bytes and no bytes returned")
local sent = wan.send(up.link, "\xff\x03\xc0\x21\x01\x01\x00\x04")
local s = expect("isdn", {name = "send", hcom = IN}, 2)
isdn.answer_raw(s.id, {bytes = "\x02\x7a", status = 0, length = 0})
expect("completion", {packet = sent}, 2)
idle()

note("NDIS halts the adapter with the incoming call up")
unignore(tapi)
ignore("tapi")
ignore("wan")
ignore("event")
driver.halt()
check_equal(isdn.pending_reads(), 0, "reads left waiting")
