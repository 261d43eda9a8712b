#!/bin/sh
# Real programs as the DTE, each on a pty of its own that socat joins to the daemon's. minicom,
# driven by its script language (runscript), sends minicom's classic default init string and
# dials a second daemon; there chat (package ppp) sends AT&F and the queries of a cellular modem,
# answers the RING, and waits for minicom's line to come through the call. Skipped (77) without
# minicom, chat, socat, script or ss.
#   dte_programs_test.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1
build=$2
for tool in minicom runscript chat socat script ss pgrep; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool not installed"; exit 77; }
done
daemon=$build/orvaned
[ -x "$build/emulated/orvaned" ] && daemon=$build/emulated/orvaned
scale=${ORVANED_TEST_TIME_SCALE:-1}
work=$(mktemp -d)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for pid in $pids; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# Waits until the command succeeds, for at most SECONDS (scaled).
wait_for() {  # seconds command...
  tries=$(($1 * scale * 10))
  shift
  until "$@"; do
    [ "$tries" -gt 0 ] || return 1
    tries=$((tries - 1))
    sleep 0.1
  done
}

# Starts a daemon on $work/NAME with the sample settings, the script BASE64 and a port of the
# kernel's choice; its DTE's side is $work/NAME/dte. Sets $port to the port it listens on.
start_modem() {  # name base64-script
  root=$work/$1
  mkdir -p "$root/opt/orvane/etc" "$root/etc" "$root/var/run" "$root/var/lock" \
    "$root/var/orvane" "$root/dev"
  sed -e 's/^MOD_ORVANE_PORT=.*/MOD_ORVANE_PORT=0/' \
    -e 's/^MOD_ORVANE_SYSLOGLEV=.*/MOD_ORVANE_SYSLOGLEV=8/' \
    -e "s/^MOD_ORVANE_CFG_SCRIPT=.*/MOD_ORVANE_CFG_SCRIPT=$2/" \
    "$source/packaging/settings" >"$root/opt/orvane/etc/settings"
  socat "pty,raw,echo=0,link=$root/dev/ttyS0" "pty,raw,echo=0,link=$root/dte" &
  pids="$pids $!"
  wait_for 10 test -e "$root/dev/ttyS0" -a -e "$root/dte" || { fail "no ptys for $1"; return 1; }
  ORVANED_ROOT=$root ORVANED_LOG_STDERR=1 "$daemon" 2>"$root/log" &
  pid=$!
  pids="$pids $pid"
  wait_for 30 sh -c "ss -Htlnp | grep -q 'pid=$pid,'" || { fail "$1 does not listen"; return 1; }
  port=$(ss -Htlnp | grep "pid=$pid," | awk '{print $4}' | sed 's/.*://' | head -n 1)
}

start_modem callee ""
rule=$(printf 'D1:127000000001:%s\n' "$port" | base64 | tr -d '\n')
start_modem caller "$rule"

cat >"$work/callee.chat" <<'CHAT'
ABORT ERROR
TIMEOUT 10
'' AT&F
OK AT+CPIN?
READY AT+CREG?
+CREG:\s0,1 AT+CSQ
+CSQ:\s20,99 AT+CBST=71,0,1
OK \c
TIMEOUT 30
RING ATA
CONNECT \c
hello\sfrom\sminicom \c
CHAT
chat -s -v -f "$work/callee.chat" <"$work/callee/dte" >"$work/callee/dte" 2>"$work/chat.log" &
chat_pid=$!
pids="$pids $chat_pid"

# minicom has sent no init string of its own since 2.6; the string it used to send (and still
# offers when its init string is edited) is set here.
mkdir "$work/home"
printf 'pu minit            ~^M~AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0^M\n' >"$work/home/.minirc.dfl"
cat >"$work/caller.runscript" <<'RUNSCRIPT'
expect {
  "OK"
  timeout 20 exit 1
}
send "ATD1"
expect {
  "CONNECT"
  timeout 30 exit 1
}
send "hello from minicom"
RUNSCRIPT
# The device's name is the name of minicom's lock file in /var/lock: one of this run's own.
ln -s "$work/caller/dte" "$work/minicom-$$"
HOME=$work/home TERM=vt100 script -qfc "minicom -D $work/minicom-$$ -b 115200 \
  -S $work/caller.runscript -C $work/minicom.cap" /dev/null >"$work/screen" 2>&1 &
script_pid=$!
pids="$script_pid $pids"
wait_for 10 pgrep -P "$script_pid" minicom >/dev/null || fail "minicom did not start"
minicom_pid=$(pgrep -P "$script_pid" minicom || true)
pids="$minicom_pid $pids"

code=0
wait "$chat_pid" || code=$?
[ $code = 0 ] || fail "chat ended with $code; its log: $(cat "$work/chat.log")"
# minicom ends on SIGTERM, hanging up first; its capture file is complete then.
kill "$minicom_pid" 2>/dev/null || true
wait_for 30 sh -c "! kill -0 $script_pid 2>/dev/null" || fail "minicom did not end"

grep -q "CONNECT" "$work/minicom.cap" || fail "minicom saw: $(cat -v "$work/minicom.cap")"
grep -A1 -F 'raw atc: "AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0"' "$work/caller/log" |
  grep -qF 'response: "OK"' || fail "minicom's init string was not answered OK"
grep -qF 'response: "CONNECT 115200"' "$work/caller/log" || fail "no CONNECT for minicom"
for side in caller callee; do
  if grep -F 'response: "ERROR"' "$work/$side/log"; then fail "ERROR to the $side's DTE"; fi
done

[ $status = 0 ] && echo "DTE programs test passed"
exit $status
