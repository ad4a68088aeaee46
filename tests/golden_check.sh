#!/bin/sh
# golden_check.sh SIM SEED GOLDEN_DIR: the demonstration under SEED prints and
# traces exactly what GOLDEN_DIR holds for it, byte for byte.
sim=$1
seed=$2
dir=$3
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
"$sim" --seed "$seed" --trace "$tmp/trace" >"$tmp/out" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
  tail -20 "$tmp/out"
  echo "the demonstration exited with $status"
  exit 1
fi
diff -u "$dir/demo-seed-$seed.txt" "$tmp/out" | head -40 || true
diff -u "$dir/demo-seed-$seed.trace" "$tmp/trace" | head -40 || true
cmp -s "$dir/demo-seed-$seed.txt" "$tmp/out" && cmp -s "$dir/demo-seed-$seed.trace" "$tmp/trace"
