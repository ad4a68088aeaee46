-- Steps scenarios are made of: the machine started, lines opened, calls
-- placed, answered and cleared with everything they are expected to show,
-- frames sent and checked. Each step expects within the scope of its call,
-- so another call's records pass by it, left for their own steps.
--
--   local steps = require "steps"
--   steps.start()
--   local line0 = steps.open_lines{0}
--   local call = steps.dial(line0, "0299887766")
--   steps.connected(call)
--   steps.echo(call, {"\xff\x03\xc0\x21\x09\x01\x00\x08\x12\x34\x56\x78"})
--   steps.drop(call)

local steps = {}

steps.LOCAL_NUMBER = "0140000000"
steps.LISTEN = "0140000000*12" -- LocalISDNAddress and SubAddrFilter of configs/default.reg
steps.SUCCESS = "NDIS_STATUS_SUCCESS"
steps.NORMAL = ndis.constant("LINEDISCONNECTMODE_NORMAL")

-- The default machine unless the script or --config gave one, and the
-- exchange's local number.
function steps.machine(number)
  if not registry.get("Parameters", "Timeout") then
    registry.load("configs/default.reg")
  end
  exchange.local_number(number or steps.LOCAL_NUMBER)
end

-- The driver started with the ISDN driver in place, up to its general
-- thread's first look at it, 10 s in.
function steps.start(opts)
  opts = opts or {}
  steps.machine(opts.number)
  for _, party in ipairs(opts.parties or {}) do
    exchange.party(party)
  end
  isdn.attach()
  driver.start()
  expect("event", "ZOLMSG_CONFIGURED")
  -- By the clock, not by the event: the NT image's event log stays empty.
  run(10)
  expect("event", "ZOLMSG_ISDN_NOT_OPEN")
  run(1)
  idle()
end

-- RAS initialises the provider and opens the line devices listed (line 0
-- by default); the driver places its listen. Returns the lines opened.
function steps.open_lines(devices, opts)
  devices = devices or {0}
  opts = opts or {}
  check_equal(ras.initialize().lines, opts.lines or 2, "line devices")
  local lines = {}
  for _, device in ipairs(devices) do
    local line = ras.open(device)
    check_equal(line.status_name, steps.SUCCESS, "open line " .. device)
    line.device = device
    lines[#lines + 1] = line
  end
  if opts.listen ~= false then
    expect("isdn", {name = "listen", address = opts.listen or steps.LISTEN}, 5)
  end
  if opts.idle ~= false then
    idle()
  end
  return table.unpack(lines)
end

local function scoped(call)
  call.scope = scope{call = call.htcall, link = call.link, context = call.context}
  return call
end

-- RAS dials `number` on `line` (as `opts.dial` writes it, if given); the
-- driver asks the ISDN driver for the call. Returns the call.
function steps.dial(line, number, opts)
  opts = opts or {}
  local call = ras.dial(line.line, opts.dial or number)
  check_equal(call.status_name, steps.SUCCESS, "make call to " .. number)
  check(call.call ~= 0 and call.htcall ~= 0, "make call gives both call handles")
  call.line, call.number = line, number
  scoped(call)
  call.scope.expect("isdn", {name = "call", number = number, address = opts.address}, opts.within or 5)
  return call
end

-- The call offered to TAPI on `line` after the listen thread took it.
-- Returns the call, its handles as RAS and TAPI know them.
function steps.offered(line, within)
  local offered = expect("tapi", {msg = "LINE_NEWCALL", line = line.htline, call = 0}, within or 2)
  check(offered.p1 ~= 0 and offered.p2 ~= 0, "LINE_NEWCALL carries both call handles")
  local call = scoped{call = offered.p1, htcall = offered.p2, line = line}
  call.scope.expect("tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_OFFERING", line = line.htline,
                             call = call.htcall})
  return call
end

-- A call comes in on the listen: the listen thread accepts it towards the
-- network at once and listens anew, and the call is offered to TAPI on
-- `line`. Returns the call, as `offered` does.
function steps.called(line, within, listen)
  expect_unordered({
    {"event", "ZOLMSG_CONN_IN"},
    {"isdn", "call-response"},
    {"isdn", {name = "listen", address = listen or steps.LISTEN}},
    {"event", "ZOLMSG_CONN_CO"},
  }, within or 5)
  return steps.offered(line)
end

-- The call connected: the ISDN driver's confirmation, TAPI told the line
-- and the call are connected, the line up at `speed` for NDISWAN. The
-- driver indicates the line up before the call is CONNECTED, so that
-- NDISWAN has the link when RAS starts PPP on it. Returns the line up.
function steps.connected(call, opts)
  opts = opts or {}
  local line = call.line.htline
  local group = {
    {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_CONNECTED", line = line}},
    {"wan", {event = "up", speed = opts.speed or 64000, call = call.htcall}},
    {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_CONNECTED", line = line, call = call.htcall},
     after = {1, 2}},
    {"tapi", {msg = "LINE_ADDRESSSTATE", line = line}, after = 3},
  }
  if not opts.answered then
    table.insert(group, {"event", "ZOLMSG_CONN_CO"})
  end
  local got = call.scope.expect_unordered(group, opts.within or (opts.answered and 0 or 5))
  local up = got[2]
  call.link, call.context, call.up = up.link, up.context, up
  scoped(call)
  return up
end

-- RAS answers an offered call; it connects at once.
function steps.answer(call, opts)
  check_equal(ras.answer(call.call).status_name, steps.SUCCESS, "answer")
  opts = opts or {}
  opts.answered = true
  return steps.connected(call, opts)
end

-- NDISWAN sends each frame on the call's link: it goes out once on the B
-- channel, its send completes, and the party's echo comes back on the same
-- link: intact, or an LCP Echo-Request answered with the party's Echo-Reply.
-- `opts.pause` runs that long after each frame.
function steps.echo(call, frames, opts)
  opts = opts or {}
  for i, frame in ipairs(frames) do
    local packet, status = wan.send(call.link, frame)
    check_equal(status, "NDIS_STATUS_PENDING", "send " .. i)
    call.scope.expect_unordered({
      {"isdn", {name = "send", length = #frame}},
      {"completion", {packet = packet, status = steps.SUCCESS}},
      {"frame", {context = call.context, data = exchange.echo_reply(call.number or "", frame), status = steps.SUCCESS},
       after = 1},
    }, opts.within or 2)
    if opts.pause then
      run(opts.pause)
    end
  end
  call.scope.idle()
end

-- The end of a call as the ISDN driver confirms it: the driver's own clear
-- (`how` = "clear") or its response to the network's ("clear-response");
-- then TAPI hears DISCONNECTED, then IDLE, then the address state, and the
-- link goes down before the call is IDLE. Returns the ISDN command.
function steps.cleared(call, how, opts)
  opts = opts or {}
  local group = steps.clearing(call, opts)
  table.insert(group, 1, {"isdn", {name = how or "clear"}})
  for _, item in ipairs(group) do
    if type(item.after) == "number" then
      item.after = item.after + 1
    elseif item.after then
      for k, a in ipairs(item.after) do item.after[k] = a + 1 end
    end
  end
  group[2].after = 1 -- the confirmation's event comes after the command
  return call.scope.expect_unordered(group, opts.within or 4)[1]
end

-- What the ISDN driver's confirmation of a clearing brings: the event, then
-- TAPI hears DISCONNECTED, IDLE and the address state, the link down before
-- IDLE. An expect_unordered group.
function steps.clearing(call, opts)
  local line = call.line.htline
  local group = {
    {"event", "ZOLMSG_CLEAR_CO"},
    {"tapi", {msg = "LINE_LINEDEVSTATE", devstate = "LINEDEVSTATE_DISCONNECTED", line = line}},
    {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_DISCONNECTED", call = call.htcall,
              p2 = opts.mode or steps.NORMAL}, after = 2},
    {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}, after = 3},
    {"tapi", {msg = "LINE_ADDRESSSTATE", line = line}, after = 4},
  }
  -- A call that never connected has no link to take down.
  if call.context then
    group[6] = {"wan", {event = "down", context = call.context}}
    group[4].after = {3, 6}
  end
  return group
end

-- RAS drops the call: the link goes down at once and TAPI hears the call
-- is idle; RAS deallocates it, and the driver clears the ISDN call on its
-- next turn, the confirmation reporting the end once more.
function steps.drop(call, opts)
  check_equal(ras.drop(call.call).status_name, steps.SUCCESS, "drop")
  call.scope.expect_sequence({
    {"wan", {event = "down", context = call.context}},
    {"tapi", {msg = "LINE_CALLSTATE", state = "LINECALLSTATE_IDLE", call = call.htcall}},
    {"tapi", {msg = "LINE_ADDRESSSTATE", line = call.line.htline}},
  }, 0)
  check_equal(ras.close_call(call.call).status_name, steps.SUCCESS, "close call")
  steps.cleared(call, "clear", opts)
end

-- The party clears: the driver hears it and responds (it does not clear
-- itself), and the call ends as `cleared` says. Returns the driver's
-- clear-response, which every build shows (the event only where the event
-- hook records, not on the NT image).
function steps.far_end_clears(call, within)
  local response = call.scope.expect("isdn", {name = "clear-response"}, within or 10)
  expect("event", "ZOLMSG_CLEAR_IN")
  call.scope.expect_unordered(steps.clearing(call, {}), 4)
  return response
end

-- The driver's idle time-out clears the call: its clear command marks the
-- time-out on every build (the event only where the event hook records, not
-- on the NT image), and the call ends as `cleared` says. Returns the clear
-- command.
function steps.times_out(call, within)
  local clear = call.scope.expect("isdn", {name = "clear"}, within)
  expect("event", "ZOLMSG_TIMEOUT")
  call.scope.expect_unordered(steps.clearing(call, {}), 4)
  return clear
end

-- A PPP LCP echo request with identifier `id`: a frame every party echoes.
function steps.lcp_echo(id)
  return "\xff\x03\xc0\x21\x09" .. string.char(id % 256) .. "\x00\x08\x12\x34\x56\x78"
end

return steps
