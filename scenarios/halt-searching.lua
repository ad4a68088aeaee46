-- A halt while the driver still looks for the ISDN driver ends the search without opening it.
--
-- The ISDN driver is not there: the general thread's first look, 10 s in,
-- fails and is logged. NDIS halts the adapter 3 s later, while the thread
-- waits for its next look; then the ISDN driver appears. The halt ends the
-- wait, and the thread goes without logging another look or opening the
-- device, so nothing is left holding it.

registry.load("configs/default.reg")
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
run(10)
expect("event", "ZOLMSG_ISDN_NOT_OPEN")
check_equal(faults.calls("IoGetDeviceObjectPointer"), 1, "looks for the ISDN driver")
run(3)
isdn.attach()
driver.halt()
check_equal(faults.calls("IoGetDeviceObjectPointer"), 1, "looks for the ISDN driver by the halt's end")
check_equal(isdn.clients(), 0, "clients of the ISDN driver")
check_equal(#observations("event"), 0, "events during the halt")
