-- Real IP over a call: ping and a 200 KB TCP transfer between two Linux network namespaces.
--
-- Both lines open and line 0 dials a party. Once the call is up, the link's
-- NDISWAN end and the party each get a TUN device in a network namespace of
-- their own (10.253.64.1 and 10.253.64.2, a /30 that exists only there),
-- and the Linux stack on both sides talks through the driver and the paced
-- B channel in real time: `ping -c 5` (round trips printed), then 200 KB
-- over one TCP connection (goodput printed against 64,000 bit/s). Then the
-- bridge closes, nothing more is sent, and the driver's idle time-out
-- clears the call. NDIS halts the adapter.
--
-- Needs root, /dev/net/tun and network namespaces; without them tun.open
-- says so and the run ends with status 2. Takes about 40 s of wall time.

if not registry.get("Parameters", "Timeout") then
  registry.load("configs/default.reg")
end
local TIMEOUT = 20
registry.set("Parameters", "Timeout", TIMEOUT)

local PARTY = "0299887766"
local LINE_RATE = 64000
local PING_COUNT = tonumber(arg[1] or 5)
local BYTES = tonumber(arg[2] or 204800)

local steps = require "steps"

steps.start{parties = {{number = PARTY, answer = "after", delay = 1}}}
exchange.pacing(true)

note("RAS opens both lines")
local line0 = steps.open_lines{0, 1}

note("RAS dials " .. PARTY)
local call = steps.dial(line0, PARTY)
local up = steps.connected(call)
check_equal(up.speed, LINE_RATE, "line speed")
idle()

-- From here the frames are the Linux stacks' own: counted, not expected one by one.
ignore("isdn", "send")
ignore("frame")
ignore("completion")

local link = tun.open{link = up.link, party = PARTY}
note(string.format("bridge: %s (%s) <-> %s (%s), MTU %d", link.wan, link.wan_namespace,
                   link.party, link.party_namespace, link.mtu))

note(string.format("ping -c %d %s", PING_COUNT, link.party))
local ping = tun.ping{from = "wan", count = PING_COUNT}
check_equal(ping.received, PING_COUNT, "echo replies")
-- 56 bytes of data, ICMP, IP and PPP headers: 88 bytes each way at 64 kbit/s.
local floor_ms = 2 * 88 * 8 * 1000 / LINE_RATE -- exactly 22
for i, rtt in ipairs(ping.rtt) do
  note(string.format("round trip %d: %.1f ms (serialisation alone %.1f ms)", i, rtt, floor_ms))
  check(rtt >= floor_ms, "round trip " .. i .. " at least the serialisation time")
end

note(string.format("TCP: %d bytes from %s to %s", BYTES, link.wan, link.party))
local t = tun.transfer{from = "wan", bytes = BYTES}
check(t.complete, "transfer complete: " .. t.detail)
check_equal(t.bytes, BYTES, "bytes received")
note(string.format("goodput: %d bytes in %.2f s = %.0f bit/s, %.1f %% of %d bit/s", t.bytes, t.seconds,
                   t.goodput, t.goodput / LINE_RATE * 100, LINE_RATE))
tun.carry(1) -- the last acknowledgements
local s = tun.stats()
note(string.format("wan end: %d packets / %d bytes onto the line, %d / %d off it, %d dropped",
                   s.wan.to_line_packets, s.wan.to_line_bytes, s.wan.from_line_packets, s.wan.from_line_bytes,
                   s.wan.dropped))
note(string.format("party end: %d packets / %d bytes onto the line, %d / %d off it, %d dropped",
                   s.party.to_line_packets, s.party.to_line_bytes, s.party.from_line_packets,
                   s.party.from_line_bytes, s.party.dropped))
tun.close()
run(1)
idle()

note("nothing more is sent: the idle time-out clears the call")
check_equal(steps.times_out(call, TIMEOUT + 2).number, PARTY, "the number cleared")
run(2)
idle()
check_equal(exchange.calls()[1].ended, "cleared by the driver", "how the call ended")
check_equal(ras.close_call(call.call).status_name, "NDIS_STATUS_SUCCESS", "close call")
run(1)
idle()
driver.halt()
