#!/bin/sh
# Real programs as the DTE (on ptys socat joins to the daemons'): minicom's runscript sends its
# classic init string and dials a daemon where chat (ppp) sends AT&F and cellular queries, answers
# and waits for minicom's line. 77 without the programs. dte_programs_test.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1
for tool in minicom runscript chat socat script ss pgrep; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool not installed"; exit 77; }
done
daemon=$2/orvaned
[ -x "$2/emulated/orvaned" ] && daemon=$2/emulated/orvaned
tries=$((300 * ${ORVANED_TEST_TIME_SCALE:-1}))
work=$(mktemp -d)
pids=""
trap 'code=$?; kill $pids 2>/dev/null || true; wait
  rm -rf "$work" "/var/lock/LCK..minicom-$$"; exit $code' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { n=$tries; until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done; }

# A daemon on $work/NAME (DTE side: NAME/dte), the sample settings, SCRIPT, a port left in $port.
start_modem() {  # name script
  root=$work/$1
  mkdir -p "$root/opt/orvane/etc" "$root/etc" "$root/var/run" "$root/var/lock" "$root/dev"
  sed -e 's/^MOD_ORVANE_PORT=.*/MOD_ORVANE_PORT=0/' -e 's/^\(MOD_ORVANE_SYSLOGLEV\)=.*/\1=8/' \
    -e "s/^\(MOD_ORVANE_CFG_SCRIPT\)=.*/\1=$(printf '%s' "$2" | base64 -w0)/" \
    "$source/packaging/settings" >"$root/opt/orvane/etc/settings"
  socat "pty,raw,echo=0,link=$root/dev/ttyS0" "pty,raw,echo=0,link=$root/dte" &
  pids="$pids $!"
  wait_for test -e "$root/dev/ttyS0" -a -e "$root/dte" || fail "no ptys for $1"
  ORVANED_ROOT=$root ORVANED_LOG_STDERR=1 "$daemon" 2>"$root/log" &
  pid=$!
  pids="$pids $pid"
  wait_for sh -c "ss -Htlnp | grep -q 'pid=$pid,'" || fail "$1 does not listen"
  port=$(ss -Htlnp | grep "pid=$pid," | awk '{print $4}' | sed 's/.*://' | head -n 1)
}
start_modem callee ""
start_modem caller "D1:127000000001:$port"

printf '%s\n' "ABORT ERROR" "TIMEOUT 10" "'' AT&F" "OK AT+CPIN?" "READY AT+CREG?" \
  "+CREG:\s0,1 AT+CSQ" "+CSQ:\s20,99 AT+CBST=71,0,1" "OK \c" "TIMEOUT 30" "RING ATA" \
  "CONNECT \c" "hello\sfrom\sminicom \c" >"$work/chat"
chat -s -v -f "$work/chat" <"$work/callee/dte" >"$work/callee/dte" 2>"$work/chat.log" &
chat_pid=$!
pids="$pids $chat_pid"

# minicom has sent no init string since 2.6: the one it sent before (and still offers when it
# is edited) is set here. The device link's name is that of minicom's lock file in /var/lock.
mkdir "$work/home"
printf 'pu minit ~^M~AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0^M\n' >"$work/home/.minirc.dfl"
printf '%s\n' 'expect {' '"OK"' 'timeout 20 exit 1' '}' 'send "ATD1"' 'expect {' '"CONNECT"' \
  'timeout 30 exit 1' '}' 'send "hello from minicom"' >"$work/runscript"
ln -s "$work/caller/dte" "$work/minicom-$$"
# exec: minicom is script's child whichever shell script starts ($SHELL, or sh when unset).
HOME=$work/home TERM=vt100 script -qfc "exec minicom -D $work/minicom-$$ -b 115200 \
  -S $work/runscript -C $work/minicom.cap" /dev/null >/dev/null 2>&1 &
script_pid=$!
pids="$script_pid $pids"
wait_for pgrep -P $script_pid minicom >/dev/null || fail "minicom did not start"
minicom_pid=$(pgrep -P $script_pid minicom)
pids="$minicom_pid $pids"

wait $chat_pid || fail "chat ended with $?: $(cat "$work/chat.log")"
kill $minicom_pid  # minicom hangs up, closes its capture file and ends
wait_for sh -c "! kill -0 $script_pid 2>/dev/null" || fail "minicom did not end"
grep -q "CONNECT" "$work/minicom.cap" || fail "minicom saw: $(cat -v "$work/minicom.cap")"
grep -A1 -F 'raw atc: "AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0"' "$work/caller/log" |
  grep -qF 'response: "OK"' || fail "minicom's init string was not answered OK"
! grep -F 'response: "ERROR"' "$work/caller/log" "$work/callee/log" || fail "ERROR answered"
echo "DTE programs test passed"
