#!/bin/sh
# driver/'s coverage after the suite ran in a coverage build: lines per
# module with the lines never run ("Missing"), then branches per module.
# Usage: coverage_report.sh BUILD_DIR
# Branches the compiler adds for unwinding through calls are left out: the
# driver never throws; exceptions unwind through it only in the host build.
set -eu
build=$1
root=$(cd "$(dirname "$0")/.." && pwd)
common="--root $root --filter $root/driver/ --object-directory $build --exclude-throw-branches --exclude-unreachable-branches"
echo "== driver/ lines run by the suite (Missing: lines never run) =="
gcovr $common
echo
echo "== driver/ branches taken by the suite =="
gcovr $common --branches
