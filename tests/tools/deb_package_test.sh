#!/bin/sh
# cpack -G DEB: the package's files, control data and maintainer scripts, and its postinst run
# on a scratch root (paths rewritten) to show that it creates the settings file only once.
#   deb_package_test.sh SOURCE_DIR BUILD_DIR
set -eu
build=$2
command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack" >&2; exit 1; }
deb=$(ls "$work"/out/*.deb)

dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for f in ./usr/sbin/orvaned ./usr/sbin/orvane-settings ./usr/share/man/man8/orvaned.8.gz \
  ./usr/share/man/man8/orvane-settings.8.gz ./usr/lib/systemd/system/orvaned.service \
  ./etc/init.d/orvaned ./opt/orvane/etc/version ./usr/share/orvaned/settings; do
  grep -qx "$f" "$work/files" || fail "package lacks $f"
done
# The live settings belong to the machine, not to the package.
if grep -q '^./opt/orvane/etc/settings' "$work/files"; then fail "package ships the settings file"; fi

dpkg-deb -I "$deb" >"$work/info"
grep -q "^ Package: orvaned$" "$work/info" || fail "package name"
grep -q "^ Version: $version$" "$work/info" || fail "package version is not $version"
grep -q "^ Depends: .*libc6" "$work/info" || fail "no dependency on libc6"
# A daemon that opens libssl.so.3 at run time names it in no NEEDED entry: the package must.
if grep -q libssl.so.3 "$build/orvaned" && ! grep -Eq "^ (Depends|Recommends): .*libssl3" "$work/info"; then
  fail "neither depends on nor recommends libssl3"
fi

dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script missing or not executable"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
[ "$(cat "$work/control/conffiles")" = /etc/init.d/orvaned ] || fail "conffiles"

dpkg-deb -x "$deb" "$work/tree"
grep -qx 'ExecStart=/usr/sbin/orvaned' "$work/tree/usr/lib/systemd/system/orvaned.service" ||
  fail "unit does not start /usr/sbin/orvaned"
[ "$(cat "$work/tree/opt/orvane/etc/version")" = "orvaned $version" ] || fail "version file"

# postinst on a scratch root: creates the settings from the sample, then leaves them alone.
root=$work/root
mkdir -p "$root/usr/share/orvaned"
cp "$work/tree/usr/share/orvaned/settings" "$root/usr/share/orvaned/settings"
sed -e "s|/opt/orvane|$root/opt/orvane|g" -e "s|/usr/share/orvaned|$root/usr/share/orvaned|g" \
  -e "s|/var/orvane|$root/var/orvane|g" -e "s|/run/systemd/system|$root/no-systemd|g" \
  "$work/control/postinst" >"$work/postinst"
sh "$work/postinst" configure || fail "postinst configure"
cmp -s "$root/opt/orvane/etc/settings" "$root/usr/share/orvaned/settings" ||
  fail "postinst did not create the settings from the sample"
[ -d "$root/var/orvane" ] || fail "postinst did not create the status directory"
echo "MOD_ORVANE_PORT=2001" >"$root/opt/orvane/etc/settings"
sh "$work/postinst" configure "$version" || fail "postinst configure (upgrade)"
[ "$(cat "$root/opt/orvane/etc/settings")" = "MOD_ORVANE_PORT=2001" ] ||
  fail "postinst replaced existing settings"

[ $status = 0 ] && echo "Debian package test passed"
exit $status
