-- A caller that sends before the call is answered: the driver hands
-- NDISWAN a frame on a link that was never brought up.
registry.load("configs/default.reg")
exchange.local_number("0140000000")
exchange.party{number = "0311223344", stream = {bytes = 16, every = 1, count = 3}}
exchange.call_in{from = "0311223344", subaddress = "12", at = 30}
ignore("isdn")
ignore("event")
ignore("tapi")
driver.start()
isdn.attach()
run(12)
ras.initialize()
ras.open(0)
ras.open(1)
run(30)
