-- A raw message code is a byte.
isdn.attach()
isdn.queue_raw(1, {code = 256})
