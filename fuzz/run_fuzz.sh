#!/bin/sh
# Runs one fuzz target from its seed corpus for FUZZ_SECONDS (default 60) and
# says what it did: executions, coverage at start and end, inputs added.
# Usage: run_fuzz.sh TARGET SEED_CORPUS WORK_CORPUS ARTIFACT_DIR [LIBFUZZER_ARGS...]
# A finding is saved in ARTIFACT_DIR and fails the run.
set -u
target=$1 seeds=$2 work=$3 artifacts=$4
shift 4
seconds=${FUZZ_SECONDS:-60}
name=$(basename "$target")
mkdir -p "$work" "$artifacts"
log=$(mktemp)
# New inputs go to the work corpus (the first directory); the seeds stay as
# they are in the source tree.
"$target" -max_total_time="$seconds" -timeout=30 -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$artifacts/$name-" "$@" "$work" "$seeds" >"$log" 2>&1
status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -n 1)
took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
start=$(sed -n 's/^#[0-9]*[[:space:]]*INITED cov: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
end=$(sed -n 's/^#[0-9]*[[:space:]]*[A-Z]* *cov: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
echo "$name: ${runs:-?} executions in ${took:-$seconds} s, coverage ${start:-?} -> ${end:-?} edges," \
     "${added:-0} new inputs"
if [ "$status" -ne 0 ]; then
  grep -E "FINDING|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error|SUMMARY|Test unit written" "$log" | head -n 20
  echo "$name: FAILED (exit $status); full log kept in $log"
  echo "replay: $target <the file written above>"
  exit 1
fi
rm -f "$log"
