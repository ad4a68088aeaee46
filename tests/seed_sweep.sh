#!/usr/bin/env bash
# Runs a test binary's filtered suites once per scheduler seed, FIRST..LAST,
# and names every seed that fails so it can be replayed with TOLVANEX_SEED.
set -u
binary=$1 first=$2 last=$3 filter=$4
failed=()
for ((seed = first; seed <= last; seed++)); do
  if ! TOLVANEX_SEED=$seed "$binary" --gtest_filter="$filter" --gtest_brief=1 >/tmp/seed_sweep.$$ 2>&1; then
    failed+=("$seed")
    echo "seed $seed failed:"
    grep -E "Failure|FAILED|verifier" /tmp/seed_sweep.$$ | head -20
  fi
done
rm -f /tmp/seed_sweep.$$
echo "$((last - first + 1 - ${#failed[@]})) seeds passed, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
