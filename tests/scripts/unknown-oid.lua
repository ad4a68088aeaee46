-- Asks for an OID that does not exist.
registry.load("configs/default.reg")
driver.start()
ndis.query("OID_TAPI_TELEPORT", {})
