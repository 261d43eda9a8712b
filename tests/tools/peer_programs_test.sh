#!/bin/sh
# Real programs as raw and telnet peers on loopback: telnetd dialled with TELNET:, socat as raw
# servers, nc and telnet calling the raw and telnet ports, ZMODEM both ways over a TELNET: call
# into a second daemon's telnet port. 77 without them. peer_programs_test.sh SOURCE_DIR BUILD_DIR
set -eu
for tool in socat telnet nc sz rz script ss /usr/sbin/telnetd; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool not installed"; exit 77; }
done
tries=$((300 * ${ORVANED_TEST_TIME_SCALE:-1})) work=$(mktemp -d) source=$1 daemon=$2/orvaned pids=""
trap 'code=$?; kill $pids 2>/dev/null || true; wait; rm -rf "$work"; exit $code' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { n=$tries; until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done; }
bg() { "$@" & pids="$! $pids"; }
bg "$2/hold_test_ports" 6 >"$work/ports" && wait_for test -s "$work/ports" || fail "no test ports"
read -r telnetd raw1 raw2 raw_port telnet_port b_port <"$work/ports"

# A daemon on $work/NAME (telnet port PORT) with the sample settings, SCRIPT and KEY=VALUE...;
# what its DTE gets is collected in NAME/out while NAME/reader runs.
start_modem() {  # name port script key=value...
  root=$work/$1 port=$2 script=$3 && shift 3
  mkdir -p "$root/opt/orvane/etc" "$root/etc" "$root/var/run" "$root/var/lock" "$root/dev"
  sed "s/^\(MOD_ORVANE_CFG_SCRIPT\)=.*/\1=$(printf '%b' "$script" | base64 -w0)/" \
    "$source/packaging/settings" >"$root/settings"
  for kv in MOD_ORVANE_PORT=0 MOD_ORVANE_SREG_ESC_DELAY=10 MOD_ORVANE_TELNET_PORT="$port" "$@"; do
    sed -i "/^${kv%%=*}=/d" "$root/settings" && echo "$kv" >>"$root/settings"
  done
  mv "$root/settings" "$root/opt/orvane/etc/settings"
  bg socat "pty,raw,echo=0,link=$root/dev/ttyS0" "pty,raw,echo=0,link=$root/dte"
  wait_for test -e "$root/dev/ttyS0" -a -e "$root/dte" || fail "no ptys for $1"
  bg env ORVANED_ROOT="$root" ORVANED_LOG_STDERR=1 "$daemon" 2>"$root/log"
  wait_for sh -c "ss -Htln | grep -q ':$port '" || fail "no telnet port: $(cat "$root/log")"
  bg sh -c "exec cat $root/dte >>$root/out" && echo $! >"$root/reader"
}
# Types BYTES on NAME's DTE (its output so far forgotten), then waits for TEXT there.
say() { : >"$work/$1/out" && printf '%b' "$2" >"$work/$1/dte" && { [ -z "$3" ] || sees "$1" "$3"; }
}
sees() { wait_for grep -qaF "$2" "$work/$1/out" || fail "$1 saw: $(cat -v "$work/$1/out")"; }
hang_up() { sleep 0.5 && say "$1" '+++' OK && say "$1" 'ATH\r' OK; }
no_telnet() { ! LC_ALL=C grep -qa "$(printf '\377')" "$1" || fail "telnet bytes: $(cat -v "$1")"; }

bg socat "TCP-LISTEN:$telnetd,reuseaddr,fork" EXEC:"/usr/sbin/telnetd -h",nofork
bg socat "TCP-LISTEN:$raw1,reuseaddr" SYSTEM:"printf banner; cat"
bg socat "TCP6-LISTEN:$raw2,reuseaddr" SYSTEM:'read -r line; echo "got $line"'
start_modem b "$b_port" "" MOD_ORVANE_SREG_AUTO_ANSWER=1
start_modem a "$telnet_port" "D1:TELNET:127000000001:$telnetd\nD2:RAW:127.0.0.1:$raw1
D3:RAW:[::1]:$raw2\nD4:TELNET:127000000001:$b_port" MOD_ORVANE_RAW_PORT="$raw_port"
say a 'ATD1\r' 'login: ' && no_telnet "$work/a/out" && hang_up a
say a 'ATD2\r' banner && hang_up a
say a 'ATD3\r' CONNECT && say a 'ping\n' 'got ping' && sees a 'NO CARRIER'
mkfifo "$work/nc.in" "$work/telnet.in"
bg sh -c "nc 127.0.0.1 $raw_port <$work/nc.in >$work/nc.out" && exec 4>"$work/nc.in"
sees a RING && say a 'ATA\r' CONNECT && printf 'poll\n' >&4 && sees a poll && say a '42\n' ''
wait_for grep -q 42 "$work/nc.out" && [ "$(cat "$work/nc.out")" = 42 ] || fail "nc: $(cat "$work/nc.out")"
hang_up a
bg sh -c "script -qfc 'telnet 127.0.0.1 $telnet_port' /dev/null <$work/telnet.in >$work/telnet.out"
exec 5>"$work/telnet.in"
sees a RING && say a 'ATA\r' CONNECT
printf 'hello' >&5 && sees a hello && no_telnet "$work/a/out"  # no line end: character mode
say a 'from the DTE\r\n' '' && wait_for grep -q "from the DTE" "$work/telnet.out" || fail telnet
hang_up a

# ZMODEM both ways over a telnet call between the two daemons, the DTEs' readers stopped.
i=0
while [ $i -lt 256 ]; do printf "\\$(printf %o $i)" && i=$((i + 1)); done >"$work/bytes"
for i in $(seq 200); do cat "$work/bytes" && printf '\377\377\r\r\n\r\000\377'; done >"$work/file"
say a 'ATD4\r' CONNECT && sees b CONNECT
kill "$(cat "$work/a/reader")" "$(cat "$work/b/reader")"
mkdir "$work/a/recv" "$work/b/recv"
zmodem() {  # from to file
  (cd "$work/$2/recv" && exec timeout 60 rz -b -y <"$work/$2/dte" >"$work/$2/dte" 2>/dev/null) &
  timeout 60 sz -b "$3" <"$work/$1/dte" >"$work/$1/dte" 2>/dev/null || fail "sz $1 to $2: $?"
  wait $! || fail "rz $1 to $2: $?"
  cmp "$3" "$work/$2/recv/file" || fail "ZMODEM $1 to $2 changed the file"
  # rz may send its ZFIN again after sz has ended (seen here: three in a row), which would open
  # the next transfer: both DTEs are read until they have been quiet for a second.
  for side in a b; do
    while timeout 1 dd bs=1 count=1 <"$work/$side/dte" >/dev/null 2>&1; do :; done
  done
}
zmodem a b "$work/file"
zmodem b a "$work/b/recv/file"
echo "peer programs test passed"
