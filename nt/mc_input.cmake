# Prepares the message file for windmc and completes what windmc writes.
#
# MODE input (the default): copies IN to OUT with CRLF line ends (windmc
# wants Windows text; the repository keeps LF) and drops from LanguageNames
# the entry of language 0x000, which windmc cannot name; that entry's
# binary is written to OUT.neutral (empty when there is none).
#
# MODE resource: appends to the resource script RC a language-neutral
# message table made of the binary named in NEUTRAL, if any.
if(NOT MODE OR MODE STREQUAL "input")
  file(READ "${IN}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  set(neutral "")
  if(text MATCHES "LanguageNames=\\(([^)]*[ \t\n])?([A-Za-z_][A-Za-z0-9_]*)=0x0+:([A-Za-z0-9_]+)")
    set(neutral "${CMAKE_MATCH_3}")
    string(REGEX REPLACE "(LanguageNames=\\([^)]*)${CMAKE_MATCH_2}=0x0+:${CMAKE_MATCH_3}[ \t]*\n?[ \t]*" "\\1" text
                         "${text}")
  endif()
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${OUT}" "${text}")
  file(WRITE "${OUT}.neutral" "${neutral}")
elseif(MODE STREQUAL "resource")
  file(READ "${NEUTRAL}" binary)
  if(binary)
    file(APPEND "${RC}" "\n// Language-neutral, with the texts of ${binary}\nLANGUAGE 0x0, 0x0\n1 MESSAGETABLE \"${binary}.bin\"\n")
  endif()
else()
  message(FATAL_ERROR "mc_input.cmake: unknown MODE ${MODE}")
endif()
