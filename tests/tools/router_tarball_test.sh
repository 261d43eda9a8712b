#!/bin/sh
# cpack's router tarball unpacked into a scratch root as docs/ROUTER.md says: the files are there
# (the programs stripped, the live settings not), and the daemon started by the init script
# from there answers AT with OK on a pty, then stops. Skipped (77) without socat or tar.
#   router_tarball_test.sh SOURCE_DIR BUILD_DIR
set -eu
build=$2
for tool in socat tar timeout; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool not installed"; exit 77; }
done
work=$(mktemp -d)
bridge=""
cleanup() {
  [ -z "$bridge" ] || kill "$bridge" 2>/dev/null || true
  [ -z "$bridge" ] || wait "$bridge" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack" >&2; exit 1; }
tarball=$(ls "$work"/out/orvaned-*-router-*.tar.gz)
tar -tzf "$tarball" >"$work/files"
for f in usr/sbin/orvaned usr/sbin/orvane-settings etc/init.d/orvaned usr/share/orvaned/settings \
  opt/orvane/etc/version usr/share/man/man8/orvaned.8.gz usr/share/man/man8/orvane-settings.8.gz; do
  grep -qx "$f" "$work/files" || fail "tarball lacks $f"
done
# An update unpacks over the old files: the operator's settings must not be among them.
if grep -q '^opt/orvane/etc/settings$' "$work/files"; then fail "tarball carries the settings"; fi

root=$work/root
mkdir -p "$root/dev"
tar -xzf "$tarball" -C "$root"
for program in orvaned orvane-settings; do
  if command -v readelf >/dev/null 2>&1 && readelf -S "$root/usr/sbin/$program" | grep -q '\.symtab'; then
    fail "$program is not stripped"
  fi
done
# The first installation's settings, from the sample; port 0: a port of the kernel's choice.
sed 's/^MOD_ORVANE_PORT=.*/MOD_ORVANE_PORT=0/' "$root/usr/share/orvaned/settings" \
  >"$root/opt/orvane/etc/settings"

# The DTE: keys from the fifo $work/keys (held open on fd 5), the modem's bytes to $work/screen.
mkfifo "$work/keys"
exec 5<>"$work/keys"
: >"$work/screen"
# (A background job's stdin would be /dev/null: the pty is handed to it on fd 3.)
socat "pty,raw,echo=0,link=$root/dev/ttyS0" \
  "SYSTEM:exec 3<&0; cat <&3 >'$work/screen' & exec cat '$work/keys'" 5>&- &
bridge=$!
tries=50
while [ ! -e "$root/dev/ttyS0" ] && [ $tries -gt 0 ]; do sleep 0.1; tries=$((tries - 1)); done

init() {
  ORVANED_ROOT=$root ORVANED_DAEMON=$root/usr/sbin/orvaned ORVANED_LOG_FILE=$work/log \
    ORVANED_LOG_STDERR=1 timeout 60 sh "$root/etc/init.d/orvaned" "$1" 5>&-
}
if init start >"$work/start" 2>&1; then
  tries=20
  while ! grep -q OK "$work/screen" && [ $tries -gt 0 ]; do
    printf 'AT\r' >&5
    sleep 0.5
    tries=$((tries - 1))
  done
  grep -q OK "$work/screen" || fail "no OK to AT; screen: $(cat "$work/screen"); log: $(cat "$work/log")"
  init stop >/dev/null 2>&1 || fail "init script stop"
  [ ! -e "$root/var/run/orvaned.pid" ] || fail "the daemon was not stopped (pid file left)"
else
  fail "init script start: $(cat "$work/start"); log: $(cat "$work/log" 2>/dev/null)"
fi

[ $status = 0 ] && echo "router tarball test passed"
exit $status
