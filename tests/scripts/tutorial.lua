-- RAS calls a party that echoes, sends two frames and hangs up (docs/tutorial.md).
local steps = require "steps"

steps.start{parties = {{number = "0299887766", answer = "after", delay = 2, echo = true}}}
local line0 = steps.open_lines{0}

note("dialling")
local call = steps.dial(line0, "0299887766")
local up = steps.connected(call)
check_equal(up.speed, 64000, "link speed")

steps.echo(call, {steps.lcp_echo(1), steps.lcp_echo(2)})
steps.drop(call)
