-- A raw answer's bytes must fall inside the command's block.
registry.load("configs/default.reg")
isdn.attach()
driver.start()
ras.initialize()
ras.open(0)
local c = expect("isdn", {name = "listen"}, 15)
isdn.answer_raw(c.id, {bytes = "xx", at = 206})
