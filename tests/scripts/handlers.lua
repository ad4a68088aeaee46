-- The reconfigure and transfer-data handlers, reached as NDIS would: the
-- driver supports neither, and says so without changing anything.
registry.load("configs/default.reg")
ignore("event")
driver.start()
check_equal(driver.reconfigure(), ndis.constant("NDIS_STATUS_NOT_SUPPORTED"), "Reconfigure")
check_equal(driver.transfer_data(), ndis.constant("NDIS_STATUS_FAILURE"), "TransferData")
check_equal(driver.state(), "running", "the adapter after both")
