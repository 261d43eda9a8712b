#!/bin/sh
# cpack's router tarball unpacked into a scratch root as docs/ROUTER.md says: stripped programs,
# no live settings (an update must keep them), and the daemon, started from there by the init
# script on a pty, answers AT with OK and stops. Skipped (77) without socat.
#   router_tarball_test.sh SOURCE_DIR BUILD_DIR
set -eu
command -v socat >/dev/null 2>&1 || { echo "socat not installed"; exit 77; }
work=$(mktemp -d)
trap 'kill $bridge 2>/dev/null; rm -rf "$work"' EXIT
bridge=""
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

cpack -G TGZ --config "$2/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack" >&2; exit 1; }
root=$work/root
mkdir -p "$root/dev"
tar -xzf "$work"/out/orvaned-*-router-*.tar.gz -C "$root"
[ ! -e "$root/opt/orvane/etc/settings" ] || fail "the tarball carries the settings"
if readelf -S "$root/usr/sbin/orvaned" "$root/usr/sbin/orvane-settings" | grep -q '\.symtab'; then
  fail "programs not stripped"
fi
# Static programs look for OpenSSL beside them: the tarball must carry it there.
if readelf -d "$root/usr/sbin/orvaned" | grep -q 'lib/orvaned'; then
  for lib in libssl.so.3 libcrypto.so.3; do
    [ -f "$root/usr/lib/orvaned/$lib" ] || fail "the tarball lacks usr/lib/orvaned/$lib"
  done
fi
# The first installation's settings, from the sample; port 0: a port of the kernel's choice.
sed 's/^MOD_ORVANE_PORT=.*/MOD_ORVANE_PORT=0/' "$root/usr/share/orvaned/settings" \
  >"$root/opt/orvane/etc/settings"

# The DTE: keys from the fifo (held open on fd 5), the modem's bytes to $work/screen (a
# background job's stdin would be /dev/null: the pty is handed to it on fd 3).
mkfifo "$work/keys"
exec 5<>"$work/keys"
socat "pty,raw,echo=0,link=$root/dev/ttyS0" \
  "SYSTEM:exec 3<&0; cat <&3 >'$work/screen' & exec cat '$work/keys'" 5>&- &
bridge=$!
init() {
  ORVANED_ROOT=$root ORVANED_DAEMON=$root/usr/sbin/orvaned ORVANED_LOG_FILE=$work/log \
    ORVANED_LOG_STDERR=1 sh "$root/etc/init.d/orvaned" "$1" 5>&-
}
tries=40
while [ ! -e "$root/dev/ttyS0" ] && [ $tries -gt 0 ]; do sleep 0.1; tries=$((tries - 1)); done
if init start >"$work/start" 2>&1; then
  tries=0
  while ! grep -qs OK "$work/screen" && [ $tries -lt 20 ]; do
    printf 'AT\r' >&5
    sleep 0.5
    tries=$((tries + 1))
  done
  grep -qs OK "$work/screen" || fail "no OK to AT; log: $(cat "$work/log")"
  init stop >/dev/null 2>&1 || fail "init script stop"
  [ ! -e "$root/var/run/orvaned.pid" ] || fail "the daemon was not stopped (pid file left)"
else
  fail "init script start: $(cat "$work/start" "$work/log")"
fi
[ $status = 0 ] && echo "router tarball test passed"
exit $status
