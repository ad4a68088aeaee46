#!/bin/sh
# tun_check.sh CASE SIM: runs the simulator with the TUN bridge and checks
# what CASE says, then that the run left nothing behind: no process still in
# either of its network namespaces and no descriptor of them, so neither the
# namespaces nor their TUN devices exist any more. Exits 77 (skipped) where
# the machine does not allow TUN devices in network namespaces.
case_name=$1
sim=$2
here=$(dirname "$0")
script=$here/scripts/tun-call.lua
out=$(mktemp /tmp/tolvanex-tun-XXXXXX)
pcap=$out.pcap
trap 'rm -f "$out" "$pcap"' EXIT

fail() { tail -40 "$out"; echo "FAILED: $*"; exit 1; }

skip_if_refused() {
  if grep -q "does not allow TUN devices" "$out"; then
    grep -m1 "does not allow TUN devices" "$out"
    exit 77
  fi
}

# Every namespace the run printed must be gone: no process in it, no
# descriptor open on it. Every process the bridge starts lives in one of
# them, so this also finds a helper or a job left running.
check_nothing_left() {
  if command -v ip >/dev/null && ip link show tlvx0 >/dev/null 2>&1; then
    fail "a tlvx0 device in the machine's own namespace"
  fi
  ids=$(grep -o 'net:\[[0-9]*\]' "$out" | sort -u)
  [ -n "$ids" ] || fail "the run named no namespace"
  i=0
  while :; do
    left=""
    links=$(ls -l /proc/[0-9]*/ns/net /proc/[0-9]*/fd/ 2>/dev/null)
    for id in $ids; do
      printf '%s\n' "$links" | grep -qF -- "$id" && left="$left $id"
    done
    [ -z "$left" ] && return 0
    i=$((i + 1))
    [ $i -lt 20 ] || fail "still held after the run:$left"
    sleep 0.25
  done
}

status() { # status WANT: the run's exit status must be WANT
  [ "$1" = "$2" ] || fail "exit status $1, expected $2"
}

case $case_name in
ping)
  "$sim" --pcap "$pcap" "$script" ping >"$out" 2>&1
  rc=$?
  skip_if_refused
  status $rc 0
  grep -q "verifier: no rule broken" "$out" || fail "no verifier verdict"
  check_nothing_left
  if command -v tshark >/dev/null; then
    # Every frame of the call's interface (interface 0 carries the ISDN
    # driver's blocks) is PPP carrying IPv4; the ping's six are ICMP,
    # requests sent by NDISWAN (tshark's direction 0), replies received (1).
    fields=$(tshark -r "$pcap" -Y "frame.interface_id != 0" -T fields -e frame.p2p_dir -e ppp.protocol -e ip.dst \
             -e icmp.type 2>/dev/null)
    [ -n "$fields" ] || fail "tshark read nothing from the capture"
    printf '%s\n' "$fields" | grep -v "	0x0021	" && fail "a frame that is not PPP carrying IP"
    [ "$(printf '%s\n' "$fields" | grep -c "^0	0x0021	10.253.64.2	8$")" = 3 ] || fail "three echo requests: $fields"
    [ "$(printf '%s\n' "$fields" | grep -c "^1	0x0021	10.253.64.1	0$")" = 3 ] || fail "three echo replies: $fields"
  fi
  ;;
transfer)
  # The demonstration: ping, 200 KB over TCP, the idle time-out, halt.
  "$sim" tun-demo >"$out" 2>&1
  rc=$?
  skip_if_refused
  status $rc 0
  grep -q "verifier: no rule broken" "$out" || fail "no verifier verdict"
  line=$(grep -o "goodput: .*" "$out")
  echo "$line"
  bits=$(printf '%s\n' "$line" | sed -n 's/.* = \([0-9]*\) bit\/s.*/\1/p')
  # A generous floor: the figure itself is the benchmark.
  [ -n "$bits" ] && [ "$bits" -ge 32000 ] || fail "goodput under half the line's rate"
  check_nothing_left
  ;;
failure)
  "$sim" "$script" fail >"$out" 2>&1
  rc=$?
  skip_if_refused
  status $rc 1
  grep -q "stopped on purpose" "$out" || fail "not the failure asked for"
  check_nothing_left
  ;;
lost)
  "$sim" "$script" lost >"$out" 2>&1
  rc=$?
  skip_if_refused
  status $rc 0
  check_nothing_left
  ;;
killed)
  "$sim" "$script" hold 60 >"$out" 2>&1 &
  pid=$!
  i=0
  until grep -q "icmp_seq\|ping: 64 bytes\|namespaces net" "$out"; do
    i=$((i + 1))
    if [ $i -gt 600 ] || ! kill -0 $pid 2>/dev/null; then
      wait $pid
      skip_if_refused
      fail "the bridge never opened"
    fi
    sleep 0.1
  done
  sleep 2
  kill -KILL $pid
  wait $pid 2>/dev/null
  check_nothing_left
  ;;
refused)
  # Without the right to make namespaces (here: as nobody) the run says so
  # and ends with status 2, before anything is made.
  if [ "$(id -u)" = 0 ]; then
    command -v setpriv >/dev/null || { echo "setpriv is not installed"; exit 77; }
    setpriv --reuid=65534 --regid=65534 --clear-groups "$sim" "$script" ping >"$out" 2>&1
  else
    "$sim" "$script" ping >"$out" 2>&1
  fi
  rc=$?
  status $rc 2
  grep -q "tun-call.lua:[0-9]*: tun.open: this machine does not allow TUN devices in network namespaces: " "$out" ||
    fail "no word of why"
  ;;
*)
  echo "usage: tun_check.sh ping|transfer|failure|lost|killed|refused SIM"
  exit 2
  ;;
esac
echo "passed"
