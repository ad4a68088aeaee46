-- NDIS offers several media: the driver picks the WAN medium, by its place.
registry.load("configs/default.reg")
ignore("event")
driver.load()
local status, selected = driver.initialize{"NdisMedium802_3", "NdisMediumFddi", "NdisMediumWan"}
check_equal(status, ndis.constant("NDIS_STATUS_SUCCESS"), "initialisation")
check_equal(selected, 3, "the medium the driver selected")
driver.halt()
-- Without the WAN medium the driver refuses.
check_equal(driver.initialize{"NdisMedium802_3"}, ndis.constant("NDIS_STATUS_UNSUPPORTED_MEDIA"), "802.3 only")
