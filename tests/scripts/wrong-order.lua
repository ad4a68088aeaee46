-- States the order the driver does not keep: the line up after CONNECTED.
local steps = require "steps"
steps.start{parties = {{number = "0299887766", answer = "after", delay = 1}}}
local line0 = steps.open_lines{0}
steps.dial(line0, "0299887766")
expect_unordered({
  {"event", "ZOLMSG_CONN_CO"},
  {"tapi", {msg = "LINE_LINEDEVSTATE"}},
  {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED"}},
  {"wan", {event = "up"}, after = 3},
  {"tapi", {msg = "LINE_ADDRESSSTATE"}},
}, 5)
