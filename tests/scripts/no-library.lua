-- A library that is not there.
require "step"
