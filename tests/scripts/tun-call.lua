-- A call up and bridged to the Linux stack, then what arg[1] asks for:
--   ping     `ping -c 3` across it: three replies, each no faster than the line
--   fail     a failure while a ping is out (the run must still leave nothing behind)
--   hold N   pings for N seconds (something to kill from outside)
--   lost     the call dropped under the bridge: a ping and a transfer that
--            get nowhere stop at their limits
--   nolink   tun.open on a link that is not up
--   unopened tun.ping before any tun.open

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end
local MODE = arg[1] or "ping"
local PARTY = "0299887766"

exchange.local_number("0140000000")
exchange.party{number = PARTY, answer = "after", delay = 1}
exchange.pacing(true)
isdn.attach()
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
expect("event", "ZOLMSG_ISDN_NOT_OPEN", 11)
run(1)
idle()
check_equal(ras.initialize().lines, 2, "line devices")
local line0 = ras.open(0)
expect("isdn", {name = "listen", address = "0140000000*12"}, 5)
if MODE == "unopened" then
  tun.ping{count = 1}
elseif MODE == "nolink" then
  tun.open{link = 0x7777, party = PARTY}
end
local call = ras.dial(line0.line, PARTY)
expect("isdn", {name = "call", number = PARTY}, 5)
expect("event", "ZOLMSG_CONN_CO", 5)
local up = expect("wan", {event = "up", call = call.htcall})
ignore("tapi")
ignore("isdn", "send")
ignore("frame")
ignore("completion")
idle()

local link = tun.open{link = up.link, party = PARTY}
note("namespaces " .. link.wan_namespace .. " " .. link.party_namespace)
if MODE == "ping" then
  local p = tun.ping{count = 3}
  check_equal(p.transmitted, 3, "echo requests")
  check_equal(p.received, 3, "echo replies")
  check_equal(#p.rtt, 3, "round trips")
  -- 84 bytes of IP plus 4 of PPP, each way, at 64 kbit/s.
  local floor = 2 * 88 * 8 * 1000 / 64000 -- exactly 22
  for i, rtt in ipairs(p.rtt) do
    check(rtt >= floor, string.format("round trip %d: %.2f ms, the line alone takes %.2f ms", i, rtt, floor))
  end
  local s = tun.stats()
  check_equal(s.wan.to_line_packets, 3, "requests onto the line")
  check_equal(s.party.from_line_packets, 3, "requests delivered to the party's stack")
  check_equal(s.wan.from_line_packets, 3, "replies delivered to the NDISWAN end's stack")
  check_equal(s.wan.dropped + s.party.dropped, 0, "packets dropped")
elseif MODE == "fail" then
  tun.ping{count = 1}
  fail("stopped on purpose with the bridge open")
elseif MODE == "lost" then
  ignore("wan")
  ignore("event")
  check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
  expect("isdn", {name = "clear", number = PARTY}, 2)
  local p = tun.ping{count = 2, limit = 3}
  check_equal(p.received, 0, "echo replies over no call")
  check_equal(p.status, -1, "ping stopped at its limit")
  local t = tun.transfer{bytes = 1000, limit = 4}
  check(not t.complete, "no transfer over no call")
  check_equal(t.bytes, 0, "bytes received")
  check(t.detail:find("limit of 4 s", 1, true), "stopped at its limit: " .. t.detail)
  local s = tun.stats()
  check(s.wan.dropped + s.wan.to_line_packets >= 2, "the requests met no call")
  check_equal(s.party.from_line_packets, 0, "packets reaching the party")
  tun.close()
  check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
  return
elseif MODE == "hold" then
  tun.ping{count = tonumber(arg[2] or 30), interval = 1}
end
tun.close()
-- How a call ends is the business of other scenarios.
ignore("wan")
ignore("event")
check_equal(ras.drop(call.call).status_name, "NDIS_STATUS_SUCCESS", "drop")
expect("isdn", {name = "clear", number = PARTY}, 2)
run(1)
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
idle()
