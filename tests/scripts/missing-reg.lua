-- Loads a configuration file that is not there.
registry.load("configs/no-such-file.reg")
