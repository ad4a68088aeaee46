#!/usr/bin/env bash
# Prints how much of the tree is tests: lines of test code (GoogleTest suites,
# test scripts, scenarios, fuzz targets) against all source lines.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files "$@" | grep -E '\.(cpp|h|inc|in|lua|py|sh|cmake)$|CMakeLists\.txt$' | xargs -r cat | wc -l; }
tests=$(count tests scenarios fuzz)
code=$(count driver platform host tools nt bench CMakeLists.txt)
total=$((tests + code))
printf 'code %d lines, tests %d lines: tests are %d%% of the tree\n' "$code" "$tests" $((100 * tests / total))
