-- Ports without an address or a usage get what RAS would write.
ras.configure{{usage = "Client"}, {address = "1-07-00"}}
local key = "\\Registry\\Machine\\Software\\Microsoft\\RAS\\TAPI DEVICES\\TOLVANEX"
local addresses, usages = registry.get(key, "Address"), registry.get(key, "Usage")
check_equal(addresses[1], "1-01-00", "first address")
check_equal(addresses[2], "1-07-00", "second address")
check_equal(usages[1], "Client", "first usage")
check_equal(usages[2], "ClientAndServer", "second usage")
