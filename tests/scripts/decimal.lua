-- A quantity that differs reads in decimal.
check_equal(64000, 56000, "link speed")
