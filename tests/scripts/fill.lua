-- The capabilities record starts out as 0xAA bytes: every count the driver
-- answers with 0 it has written, not left alone.
registry.load("configs/default.reg")
ignore("event")
driver.start()
ras.initialize()
local caps = ndis.query("OID_TAPI_GET_DEV_CAPS", {ulDeviceID = 0, fill = 0xAA})
check_equal(caps.status_name, "NDIS_STATUS_SUCCESS", "capabilities")
check_equal(caps.LineDevCaps.ulRingModes, 0, "ring modes, written as 0")
check_equal(caps.LineDevCaps.ulNumAddresses, 1, "addresses")
-- Without the fill the same count reads 0 either way.
check_equal(ndis.query("OID_TAPI_GET_DEV_CAPS", {ulDeviceID = 0}).LineDevCaps.ulRingModes, 0, "ring modes")
