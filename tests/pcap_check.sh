#!/bin/sh
# pcap_check.sh SIM LUA: the demonstration's pcapng read back by tshark with
# the project's dissector: PPP both ways, one interface per B-channel call,
# every ISDN block named, PPP inside the data blocks.
set -e
file=$(mktemp /tmp/tolvanex-XXXXXX.pcapng)
trap 'rm -f "$file"' EXIT
"$1" --quiet --pcap "$file"
fields=$(tshark -r "$file" -T fields -e frame.p2p_dir -e ppp.protocol 2>/dev/null)
for dir in 0 1; do
  if ! printf '%s\n' "$fields" | grep -q "^$dir	0xc021$"; then
    echo "no PPP LCP frame in direction $dir:"; printf '%s\n' "$fields" | head; exit 1
  fi
done
# Interfaces: the ISDN driver's, then one per call (B1 out, B2 in in the demonstration).
names=$(tshark -r "$file" -T fields -e frame.interface_name 2>/dev/null | sort -u)
for want in "ISDN driver" "B1 out 0299887766" "B2 in 0311223344"; do
  printf '%s\n' "$names" | grep -q "^$want" || { echo "no interface named '$want':"; printf '%s\n' "$names"; exit 1; }
done
# Every block on the ISDN interface gets a name, and its fields.
blocks=$(tshark -X lua_script:"$2" -r "$file" -Y 'frame.interface_id == 0' -T fields \
         -e tolvanex_isdn.name -e tolvanex_isdn.hcom -e tolvanex_isdn.status 2>/dev/null)
total=$(tshark -r "$file" -Y 'frame.interface_id == 0' 2>/dev/null | wc -l)
named=$(printf '%s\n' "$blocks" | grep -cE '^[a-zA-Z_-]+	[0-9]+	[0-9]+$' || true)
[ "$total" -gt 0 ] && [ "$named" -eq "$total" ] || { echo "$named of $total ISDN blocks decoded:"; printf '%s\n' "$blocks" | head; exit 1; }
for name in listen call send clear APP_CONN_CO APP_DATA_IN APP_CLEAR_IN; do
  printf '%s\n' "$blocks" | grep -q "^$name	" || { echo "no ISDN block '$name'"; exit 1; }
done
# PPP inside data blocks: sends and APP_DATA_IN carry LCP.
inner=$(tshark -X lua_script:"$2" -r "$file" -Y 'tolvanex_isdn.data_length > 0 && ppp' -T fields -e tolvanex_isdn.name 2>/dev/null | sort -u)
for name in send APP_DATA_IN; do
  printf '%s\n' "$inner" | grep -q "^$name$" || { echo "no PPP inside '$name' blocks"; exit 1; }
done
echo "pcapng: $total ISDN blocks named, PPP inside data blocks, one interface per call"
