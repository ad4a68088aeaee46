-- Imports text that is not REGEDIT4.
registry.import("this is not a registry file\n")
