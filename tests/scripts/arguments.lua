-- What follows `--` reaches the script as is, options included.
check_equal(#arg, 2, "arguments")
check_equal(arg[1], "--seed", "first argument")
check_equal(arg[2], "3", "second argument")
check_equal(seed(), 0, "the run's own seed")
