-- Names a field the request does not have.
registry.load("configs/default.reg")
driver.start()
ndis.query("OID_TAPI_OPEN", {ulDeviceId = 0})
