-- A run that outlives the host's limit of 400 virtual days: the verifier
-- stops it. Loaded but never initialised, the driver has no thread or timer,
-- so the days pass at once.
driver.load()
run(400 * 24 * 3600)
run(1)
