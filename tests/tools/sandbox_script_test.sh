#!/bin/sh
# scripts/run-sandbox with the built daemon, its stdin and stdout standing in for the terminal:
# the Backspace key's DEL edits the command line as BS does, another machine's number is not
# dialled, PORT= leaves the settings as they were, the log marks each run and says the pty's
# missing modem lines once, without an error, and a daemon that stops on its own ends the
# script with status 1 and the end of that run's log. Skipped (77) without socat or perl.
#   sandbox_script_test.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1
build=$2
for tool in socat perl timeout; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool not installed"; exit 77; }
done
daemon=$build/orvaned
[ -x "$build/emulated/orvaned" ] && daemon=$build/emulated/orvaned
scale=${ORVANED_TEST_TIME_SCALE:-1}
work=$(mktemp -d)
script_pid=""
cleanup() {
  [ -z "$script_pid" ] || kill "$script_pid" 2>/dev/null || true
  [ -z "$script_pid" ] || wait "$script_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# Starts run-sandbox on ROOT with the keys from the fifo $work/keys (held open on fd 5, so the
# keys never end by themselves); its stdout goes to $work/screen, its stderr to $work/messages.
start_sandbox() {  # root [PORT]
  rm -f "$work/keys" "$work/screen" "$work/messages"
  mkfifo "$work/keys"
  exec 5<>"$work/keys"
  PORT=${2:-} ORVANED="$daemon" timeout $((120 * scale)) "$source/scripts/run-sandbox" "$1" \
    <"$work/keys" >"$work/screen" 2>"$work/messages" 5>&- &
  script_pid=$!
}

# Waits until the screen holds TEXT (a grep -F pattern), typing KEYS every half second when
# given; false after SECONDS.
wait_screen() {  # text seconds [keys]
  tries=$(($2 * scale * 2))
  while ! grep -qF -- "$1" "$work/screen"; do
    [ "$tries" -gt 0 ] || return 1
    tries=$((tries - 1))
    [ -z "${3:-}" ] || printf '%b' "$3" >&5
    sleep 0.5
  done
}

# The script's exit status, or 124 when it does not end within SECONDS.
script_status() {  # seconds
  tries=$(($1 * scale * 5))
  while kill -0 "$script_pid" 2>/dev/null && [ "$tries" -gt 0 ]; do
    sleep 0.2
    tries=$((tries - 1))
  done
  kill -0 "$script_pid" 2>/dev/null && return 124
  code=0
  wait "$script_pid" || code=$?
  script_pid=""
  return $code
}

# Backspace: "ATI4", DEL, "3" is ATI3, which shows the sandbox's version file. PORT=0: the daemon
# listens on a port of the kernel's choice.
root=$work/edit
start_sandbox "$root" 0
if wait_screen "OK" 30 'AT\r'; then
  printf 'ATI4\1773\r' >&5
  wait_screen "orvaned " 10 || fail "ATI4, DEL, 3 did not show the version; screen: $(od -c "$work/screen" | tail -n 8)"
  grep -qF "$(printf 'ATI4\b \b3')" "$work/screen" || fail "the modem did not echo a backspace"
  if grep -q ERROR "$work/screen"; then fail "ERROR on the screen"; fi
  printf 'ATD192168001001\r' >&5
  wait_screen "NO ANSWER" 10 || fail "ATD192168001001 did not answer NO ANSWER"
else
  fail "no OK from the sandbox; messages: $(cat "$work/messages")"
fi
exec 5>&-
code=0
script_status 30 || code=$?
[ $code = 0 ] || fail "run-sandbox ended with $code after its keys ended; messages: $(cat "$work/messages")"
[ ! -e "$root/var/run/orvaned.pid" ] || fail "the daemon was not stopped (pid file left)"
grep -qx 'MOD_ORVANE_PORT=2000' "$root/opt/orvane/etc/settings" || fail "PORT=0 outlived its run"
log=$root/orvaned.log
head -n 1 "$log" | grep -qE '^==== [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC: orvaned ' ||
  fail "the log does not start with a dated mark: $(head -n 1 "$log")"
grep -qx '<4>sandbox: 192.168.1.1 is not on this machine; dialling only loopback' "$log" ||
  fail "no reason for the NO ANSWER in the log"
[ "$(grep -c 'no modem lines' "$log")" = 1 ] || fail "the missing modem lines are not said once"
if grep -E '^<[0-3]>' "$log"; then fail "errors in the log"; fi

# A daemon that stops during start-up ends the script, with the reason from the log.
root=$work/failing
mkdir -p "$root/opt/orvane/etc"
sed 's/^MOD_ORVANE_SERIAL=.*/MOD_ORVANE_SERIAL=5/' "$source/packaging/settings" \
  >"$root/opt/orvane/etc/settings"
echo "<3>a line of an earlier run" >"$root/orvaned.log"
start_sandbox "$root"
code=0
script_status 60 || code=$?
[ $code = 1 ] || fail "run-sandbox ended with $code when the daemon failed (1 expected)"
grep -q "orvaned ended (exit status 1)" "$work/messages" || fail "no word of the daemon's end"
grep -q "invalid serial device number 5" "$work/messages" || fail "the log's end was not shown"
if grep -q "earlier run" "$work/messages"; then fail "the log's end shows an earlier run"; fi
exec 5>&-

[ $status = 0 ] && echo "sandbox script test passed"
exit $status
