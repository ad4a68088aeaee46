-- Expects an incoming call that nobody makes.
registry.load("configs/default.reg")
exchange.local_number("0140000000")
driver.start()
expect("event", "ZOLMSG_CONFIGURED")
expect("tapi", "LINE_NEWCALL", 5)
