#!/bin/sh
# cmake --install into a DESTDIR, twice: the layout, the version file, service files that name
# the installed daemon (the unit checked by systemd-analyze where it exists) and a settings
# file that the second installation leaves as the operator changed it.
#   install_test.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dest=$work/root
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}
expect_file() { [ -f "$dest$1" ] || fail "$1 not installed"; }
expect_exec() { [ -x "$dest$1" ] || fail "$1 not installed as a program"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

DESTDIR=$dest cmake --install "$build" --prefix /usr/local >"$work/first.log" 2>&1 ||
  { cat "$work/first.log"; fail "first install"; exit 1; }
if grep -qi warning "$work/first.log"; then cat "$work/first.log"; fail "install warns"; fi

expect_exec /usr/local/sbin/orvaned
expect_exec /usr/local/sbin/orvane-settings
expect_file /usr/local/share/man/man8/orvaned.8
expect_file /usr/local/share/man/man8/orvane-settings.8
expect_file /usr/local/share/orvaned/settings
expect_file /usr/local/lib/systemd/system/orvaned.service
expect_exec /etc/init.d/orvaned
expect_file /opt/orvane/etc/settings
expect_file /opt/orvane/etc/version
[ -d "$dest/var/orvane" ] || fail "/var/orvane not created"

[ "$(cat "$dest/opt/orvane/etc/version")" = "orvaned $version" ] ||
  fail "version file holds '$(cat "$dest/opt/orvane/etc/version")', not 'orvaned $version'"
for page in orvaned.8 orvane-settings.8; do
  head -n 1 "$src/packaging/$page" | grep -q "\"orvaned $version\"" ||
    fail "$page is not marked with version $version"
done
cmp -s "$src/packaging/settings" "$dest/opt/orvane/etc/settings" || fail "settings differ from the sample"
[ "$(stat -c %a "$dest/opt/orvane/etc/settings")" = 644 ] || fail "settings mode is not 644"

grep -qx 'ExecStart=/usr/local/sbin/orvaned' "$dest/usr/local/lib/systemd/system/orvaned.service" ||
  fail "unit does not start /usr/local/sbin/orvaned"
# shellcheck disable=SC2016 # the literal text of the script
grep -qx 'DAEMON=${ORVANED_DAEMON:-/usr/local/sbin/orvaned}' "$dest/etc/init.d/orvaned" ||
  fail "init script does not run /usr/local/sbin/orvaned"
sh -n "$dest/etc/init.d/orvaned" || fail "init script does not parse"

# The installed tool accepts the installed sample.
"$dest/usr/local/sbin/orvane-settings" -f "$dest/opt/orvane/etc/settings" check >/dev/null ||
  fail "orvane-settings check refuses the installed settings"

# The unit as systemd reads it: the daemon and man page at their installed places.
unit=$dest/usr/local/lib/systemd/system/orvaned.service
for line in Type=simple Restart=on-failure KillSignal=SIGTERM; do
  grep -qx "$line" "$unit" || fail "unit lacks $line"
done
grep -q 'systemctl kill -s USR1 orvaned' "$unit" || fail "unit does not document the status request"
if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -p "$work/unit"
  sed "s|/usr/local/sbin/orvaned|$dest/usr/local/sbin/orvaned|" "$unit" >"$work/unit/orvaned.service"
  if ! out=$(MANPATH=$dest/usr/local/share/man systemd-analyze verify "$work/unit/orvaned.service" 2>&1) ||
    [ -n "$out" ]; then
    fail "systemd-analyze verify: $out"
  fi
  # The unit's restrictions keep its exposure at 2.0 or lower (the scale is 0 to 100 here).
  if ! out=$(systemd-analyze security --offline=true --threshold=20 "$work/unit/orvaned.service" 2>&1); then
    echo "$out" | tail -n 3
    fail "the unit's exposure is above 2.0"
  fi
else
  echo "systemd-analyze not installed: the unit was not verified"
fi

# A second installation keeps the operator's settings and refreshes the rest.
echo "MOD_ORVANE_PORT=2001" >"$dest/opt/orvane/etc/settings"
echo "stale" >"$dest/opt/orvane/etc/version"
DESTDIR=$dest cmake --install "$build" --prefix /usr/local >"$work/second.log" 2>&1 ||
  { cat "$work/second.log"; fail "second install"; exit 1; }
[ "$(cat "$dest/opt/orvane/etc/settings")" = "MOD_ORVANE_PORT=2001" ] ||
  fail "second install overwrote the settings"
grep -q "Keeping: $dest/opt/orvane/etc/settings" "$work/second.log" || fail "no note of the kept settings"
[ "$(cat "$dest/opt/orvane/etc/version")" = "orvaned $version" ] || fail "version file not refreshed"

# The prefix moves what lies under it; the settings and version stay where the daemon reads them.
DESTDIR=$work/other cmake --install "$build" --prefix /usr >/dev/null 2>&1 || fail "install with --prefix /usr"
for f in /usr/sbin/orvaned /usr/lib/systemd/system/orvaned.service /etc/init.d/orvaned \
  /opt/orvane/etc/settings /opt/orvane/etc/version; do
  [ -e "$work/other$f" ] || fail "--prefix /usr: $f missing"
done
grep -qx 'ExecStart=/usr/sbin/orvaned' "$work/other/usr/lib/systemd/system/orvaned.service" ||
  fail "--prefix /usr: unit does not start /usr/sbin/orvaned"

[ $status = 0 ] && echo "install test passed"
exit $status
