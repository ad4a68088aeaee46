-- A loop that catches its own stop must still be stopped.
while true do pcall(function() while true do end end) end
