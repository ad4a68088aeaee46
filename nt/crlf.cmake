# Copies IN to OUT with CRLF line ends: windmc wants the message file as
# Windows text, and the repository keeps it with LF.
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
