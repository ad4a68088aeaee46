-- Starts the driver and expects nothing of what it says.
registry.load("configs/default.reg")
driver.start()
run(1)
