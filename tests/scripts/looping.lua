-- Never waits and never ends.
while true do end
