-- A script with a syntax error on line 3.
note("fine")
local x = = 2
