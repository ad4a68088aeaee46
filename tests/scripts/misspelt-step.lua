-- A misspelt step.
local steps = require "steps"
steps.conected({})
