-- What a script may not reach: files, randomness, precompiled chunks.
check(dofile == nil and loadfile == nil, "no file loading")
check(math.random == nil, "no randomness outside the seed")
check(string.dump == nil, "no dumping of functions")
local chunk, err = load("\27Lua\x54\0", "binary")
check(chunk == nil and err:find("binary", 1, true), "binary chunks are refused: " .. tostring(err))
check(load("return 1 + 1")() == 2, "text chunks load")
