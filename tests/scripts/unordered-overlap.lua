-- Two items of a group that one record could both take: the group must
-- still match whichever way round the items are listed.
registry.load("configs/default.reg")
exchange.local_number("0140000000")
driver.start()
local any_information = function(record) return record.severity == "information" end
expect_unordered({{"event", any_information}, {"event", "ZOLMSG_CONFIGURED"}}, 15)
idle()
driver.halt()
driver.initialize()
expect_unordered({{"event", "ZOLMSG_CONFIGURED"}, {"event", any_information}}, 15)
