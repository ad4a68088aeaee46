-- A misspelt field of a pattern.
expect("tapi", {mgs = "LINE_NEWCALL"})
