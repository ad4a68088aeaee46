#!/bin/sh
# sim_status.sh STATUS PATTERN COMMAND...: runs COMMAND and passes when it
# exits with STATUS and its output (stdout and stderr) matches PATTERN, on
# one line or across lines (the output joined with spaces).
want=$1
pattern=$2
shift 2
out=$("$@" 2>&1)
got=$?
if [ "$got" -ne "$want" ]; then
  printf '%s\n' "$out" | tail -30
  echo "exit status $got, expected $want"
  exit 1
fi
if ! printf '%s\n' "$out" | grep -Eq -- "$pattern" &&
   ! printf '%s\n' "$out" | tr '\n' ' ' | grep -Eq -- "$pattern"; then
  printf '%s\n' "$out" | tail -30
  echo "output does not match: $pattern"
  exit 1
fi
