-- A misspelt API function: named, with the nearest one.
isdn.atach()
