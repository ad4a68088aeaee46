#!/bin/sh
# Every built-in scenario's capture read by Wireshark's expert: no malformed
# packet and no error-level finding. Usage: expert_check.sh SIM DISSECTOR.lua
sim="$1"
lua="$2"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
bad=0
count=0
for name in $("$sim" --list | awk '{print $1}'); do
    "$sim" --quiet --pcap "$dir/$name.pcap" "$name" >/dev/null 2>&1 || { echo "$name: the run failed"; bad=1; continue; }
    tshark -X lua_script:"$lua" -r "$dir/$name.pcap" -q -z expert >"$dir/$name.expert" 2>&1 || { echo "$name: tshark failed"; bad=1; }
    if grep -Eiq "malformed|^Errors" "$dir/$name.expert"; then
        echo "$name: Wireshark finds errors:"
        cat "$dir/$name.expert"
        bad=1
    fi
    count=$((count + 1))
done
echo "expert: $count scenarios' captures read"
exit $bad
