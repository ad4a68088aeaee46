-- Two calls at once, each checked in its own scope: the other call's
-- records pass by, left open for its own steps.
local steps = require "steps"
steps.start{parties = {{number = "0299887766", answer = "after", delay = 1, echo = true},
                       {number = "0311223344", echo = true}}}
local line0, line1 = steps.open_lines{0, 1}
local out = steps.dial(line0, "0299887766")
exchange.call_in{from = "0311223344", subaddress = "12", after = 0}
-- The outgoing call connects while the incoming one is offered.
steps.connected(out)
expect_unordered({
  {"event", "ZOLMSG_CONN_IN"},
  {"isdn", "call-response"},
  {"isdn", {name = "listen", address = steps.LISTEN}},
  {"event", "ZOLMSG_CONN_CO"},
}, 5)
local inc = steps.offered(line1)
steps.answer(inc)
check(inc.link ~= out.link, "two links")
-- Each call's frames, with the other's open meanwhile.
local a = wan.send(out.link, steps.lcp_echo(1))
local b = wan.send(inc.link, steps.lcp_echo(2))
inc.scope.expect_unordered({
  {"completion", {packet = b}},
  {"frame", {data = exchange.echo_reply("0311223344", steps.lcp_echo(2))}},
}, 2)
out.scope.expect_unordered({
  {"completion", {packet = a}},
  {"frame", {data = exchange.echo_reply("0299887766", steps.lcp_echo(1))}},
}, 2)
expect("isdn", "send", 0)
expect("isdn", "send", 0)
out.scope.idle()
idle()
steps.drop(out)
steps.drop(inc)
