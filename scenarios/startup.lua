-- Starts the driver on a configuration and checks the line devices it reports.
--
-- Usage: tolvanex-sim [--config FILE.reg] startup [LINES [LISTENS]]
-- Without --config the default machine is used. LINES is the number of line
-- devices the provider should report (2 by default); LISTENS the number of
-- listens the driver should place once RAS has opened them all (1 by default).

if not registry.get("Linkage", "Route") then
  registry.load("configs/default.reg")
end
local lines = math.tointeger(tonumber(arg[1] or "2"))
local listens = math.tointeger(tonumber(arg[2] or "1"))
if not lines or not listens then
  error("startup takes whole numbers: LINES and LISTENS")
end

-- What the event log says depends on the trace level under test.
ignore("event")

driver.start()
isdn.attach()
run(12)
idle()

-- The driver's device is reachable by its DOS name.
local links = driver.symbolic_links()
check_equal(#links, 1, "symbolic links")
check_equal(links[1].name, "\\DosDevices\\Tolvanex", "the link's name")
check_equal(links[1].target, "\\Device\\Tolvanex1", "what it names")

local init = ras.initialize()
check_equal(init.status_name, "NDIS_STATUS_SUCCESS", "provider initialisation")
check_equal(init.lines, lines, "line devices reported")
for device = 0, lines - 1 do
  local caps = ndis.query("OID_TAPI_GET_DEV_CAPS", {ulDeviceID = device, ulExtVersion = 0})
  check_equal(caps.status_name, "NDIS_STATUS_SUCCESS", "capabilities of line " .. device)
  check_equal(caps.LineDevCaps.ulNumAddresses, 1, "addresses on line " .. device)
  check(caps.LineDevCaps.LineName and #caps.LineDevCaps.LineName > 0, "line " .. device .. " has a name")
  note("line " .. device .. ": " .. caps.LineDevCaps.LineName)
  check_equal(ras.open(device).status_name, "NDIS_STATUS_SUCCESS", "open line " .. device)
end
check_equal(ndis.query("OID_TAPI_GET_DEV_CAPS", {ulDeviceID = lines}).status_name, "NDIS_STATUS_TAPI_NODRIVER",
            "no line past the last")
check(ras.open(lines).status_name ~= "NDIS_STATUS_SUCCESS", "no open past the last")
for _ = 1, listens do
  expect("isdn", "listen", 5)
end
run(2)
idle()
driver.halt()
