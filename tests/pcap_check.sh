#!/bin/sh
# pcap_check.sh SIM: the demonstration's capture read back by tshark must
# hold PPP frames in both directions.
set -e
file=$(mktemp /tmp/tolvanex-XXXXXX.pcap)
trap 'rm -f "$file"' EXIT
"$1" --quiet --pcap "$file"
fields=$(tshark -r "$file" -T fields -e frame.p2p_dir -e ppp.protocol 2>/dev/null)
for dir in 0 1; do
  if ! printf '%s\n' "$fields" | grep -q "^$dir	0xc021$"; then
    echo "no PPP LCP frame in direction $dir:"; printf '%s\n' "$fields" | head; exit 1
  fi
done
