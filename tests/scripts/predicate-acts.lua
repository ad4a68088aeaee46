-- A pattern's function that tries to move the run along.
registry.load("configs/default.reg")
driver.start()
expect("event", function(record) run(1) return true end)
