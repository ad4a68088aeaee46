-- A misspelt global.
expct("event", "ZOLMSG_CONFIGURED")
