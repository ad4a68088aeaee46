#!/bin/sh
# callgrind_ratio.sh BUILD_DIR: instructions per echoed 1500-byte round trip
# (bench/echo.lua, records ignored) against the floor program, both counted
# by callgrind, so the figure does not depend on the machine's load. Each is
# run for 1000 and 3000 round trips; the difference over 2000 leaves out
# start-up and teardown. Then the cost of the 1st..1000th and the
# 10001st..11000th checked frame and sequential call, in instructions, where
# timed runs on a shared machine are too noisy to tell growth from load.
# Run from the source tree.
build=${1:-build}
sim=$build/tools/tolvanex-sim
bench=$build/tolvanex-bench
if ! command -v valgrind >/dev/null 2>&1; then
  echo "  1500-byte round trip (callgrind)  skipped: valgrind is not installed"
  exit 0
fi
for f in "$sim" "$bench"; do
  if [ ! -x "$f" ]; then
    echo "callgrind_ratio.sh: $f is missing; build first" >&2
    exit 1
  fi
done
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT

# Total instructions of one run under callgrind.
count() {
  out=$tmp/cg.$$
  if ! valgrind --tool=callgrind --callgrind-out-file="$out" "$@" >"$tmp/log" 2>&1; then
    tail -5 "$tmp/log" >&2
    echo "callgrind_ratio.sh: '$*' failed under callgrind" >&2
    exit 1
  fi
  total=$(sed -n 's/^summary: *//p' "$out" | head -1)
  rm -f "$out"
  if [ -z "$total" ]; then
    echo "callgrind_ratio.sh: no instruction count from '$*'" >&2
    exit 1
  fi
  echo "$total"
}

t1=$(count "$sim" --quiet bench/echo.lua 1000 0 0) || exit 1
t3=$(count "$sim" --quiet bench/echo.lua 3000 0 0) || exit 1
f1=$(count "$bench" --floor 1000) || exit 1
f3=$(count "$bench" --floor 3000) || exit 1
awk -v t1="$t1" -v t3="$t3" -v f1="$f1" -v f3="$f3" 'BEGIN {
  trip = (t3 - t1) / 2000; floor = (f3 - f1) / 2000
  printf "  1500-byte round trip (callgrind) %8.0f instructions, floor %.0f: %.1fx   [<= 10x]\n", trip, floor, trip / floor
}'

[ "${CALLGRIND_GROWTH:-1}" = 0 ] && exit 0
t0=$(count "$sim" --quiet bench/echo.lua 0 0 0) || exit 1
k10=$(count "$sim" --quiet bench/echo.lua 10000 0 0) || exit 1
k11=$(count "$sim" --quiet bench/echo.lua 11000 0 0) || exit 1
c1=$(count "$sim" --quiet bench/echo.lua 0 0 1000) || exit 1
c10=$(count "$sim" --quiet bench/echo.lua 0 0 10000) || exit 1
c11=$(count "$sim" --quiet bench/echo.lua 0 0 11000) || exit 1
awk -v t0="$t0" -v t1="$t1" -v k10="$k10" -v k11="$k11" -v c1="$c1" -v c10="$c10" -v c11="$c11" 'BEGIN {
  printf "  checked frame (callgrind)        %8.0f instructions each, 1st..1000th; %.0f, 10001st..11000th   [independent of k]\n", (t1 - t0) / 1000, (k11 - k10) / 1000
  printf "  sequential call (callgrind)      %8.0f instructions each, 1st..1000th; %.0f, 10001st..11000th   [independent of k]\n", (c1 - t0) / 1000, (c11 - c10) / 1000
}'
