#!/bin/sh
# image_timeline.sh SIM IMAGE SEED: runs the demonstration on the linked
# driver and on the NT image with the same seed and compares the traces.
# They must be the same record for record once addresses are blanked, but
# for the event-log records, which only the linked driver writes (the
# image's event hook records nothing).
set -u
sim=$1
image=$2
seed=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$sim" --quiet --seed "$seed" --trace "$dir/host.trace" || { echo "the demonstration failed on the linked driver"; exit 1; }
"$sim" --quiet --seed "$seed" --image "$image" --trace "$dir/image.trace" ||
  { echo "the demonstration failed on the NT image"; exit 1; }
# Addresses: 0x-prefixed hex of 8 digits, and %p forms.
blank() { sed -E 's/0x[0-9A-Fa-f]{6,16}/ADDR/g; s/\b[0-9a-f]{8,16}\b/ADDR/g' "$1"; }
events=$(grep -c ' EVENT ' "$dir/host.trace")
if [ "$events" -eq 0 ]; then
  echo "the linked driver's trace holds no event-log records"
  exit 1
fi
if grep -q ' EVENT ' "$dir/image.trace"; then
  echo "the NT image's trace holds event-log records:"
  grep ' EVENT ' "$dir/image.trace" | head -5
  exit 1
fi
grep -v ' EVENT ' "$dir/host.trace" | blank /dev/stdin > "$dir/host.cmp"
blank "$dir/image.trace" > "$dir/image.cmp"
if ! diff -u "$dir/host.cmp" "$dir/image.cmp" > "$dir/diff"; then
  echo "the timelines differ (seed $seed):"
  head -40 "$dir/diff"
  exit 1
fi
echo "seed $seed: $(wc -l < "$dir/image.cmp") records the same; $events event-log records only on the linked driver"
