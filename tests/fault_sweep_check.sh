#!/bin/sh
# fault_sweep_check.sh STATUS PATTERN RULE COMMAND...: runs a fault sweep,
# prints its tables, and passes when it exits with STATUS, its output
# matches PATTERN, and every broken run broke one of RULE (a regular expression; "-" when none may break).
want=$1
pattern=$2
rule=$3
shift 3
out=$("$@" 2>&1)
got=$?
printf '%s\n' "$out"
if [ "$got" -ne "$want" ]; then
  echo "exit status $got, expected $want"
  exit 1
fi
if ! printf '%s\n' "$out" | grep -Eq -- "$pattern"; then
  echo "output does not match: $pattern"
  exit 1
fi
other=$(printf '%s\n' "$out" | grep -E '^    call [0-9]+: exit' | grep -Ev -- "verifier: ($rule):")
if [ -n "$other" ]; then
  echo "runs broke something other than $rule:"
  printf '%s\n' "$other"
  exit 1
fi
