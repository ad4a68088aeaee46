-- A REG_SZ written byte for byte: UTF-16 without its terminating NUL. The
-- registry reads it as the text it holds, and so does the driver, which
-- listens on that address.
registry.load("configs/default.reg")
registry.set_raw("Parameters", "LocalISDNAddress", "REG_SZ", "0\0001\0004\0")
local value, type = registry.get("Parameters", "LocalISDNAddress")
check_equal(value, "014", "the value read back")
check_equal(type, "REG_SZ", "its type")
exchange.local_number("014")
ignore("event")
isdn.attach()
driver.start()
run(12)
check_equal(ras.initialize().lines, 2, "line devices")
check_equal(ras.open(0).status_name, "NDIS_STATUS_SUCCESS", "open line 0")
expect("isdn", {name = "listen", address = "014*12"}, 5)
