#!/bin/sh
# The Debian package passes lintian --pedantic: no error, warning or pedantic tag that the package
# does not override with a reason (packaging/lintian-overrides); among them the hardening tags
# of the programs. Skipped (77) where lintian is not installed.
#   lintian_test.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1
build=$2
command -v lintian >/dev/null 2>&1 || { echo "lintian not installed"; exit 77; }
# What is checked is the package as it ships: an optimised, hardened build. A debug, sanitizer
# or fuzzing build lacks the fortified calls on purpose.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
build_type=$(cache_value CMAKE_BUILD_TYPE)
case "${build_type:-RelWithDebInfo}" in  # the project's default when none is given
  Release | RelWithDebInfo | MinSizeRel) ;;
  *) echo "not an optimised build"; exit 77 ;;
esac
if [ "$(cache_value ORVANED_SANITIZE)" = ON ] || [ "$(cache_value ORVANED_FUZZ)" = ON ] ||
  [ "$(cache_value ORVANED_HARDEN)" = OFF ]; then
  echo "not a hardened build"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack" >&2; exit 1; }
deb=$(ls "$work"/out/*.deb)

lintian --pedantic --display-info --show-overrides --tag-display-limit 0 "$deb" >"$work/report" 2>&1 || true
status=0
if grep -E '^(E|W|I|P):' "$work/report" >&2; then
  echo "FAIL: lintian reports tags that are not overridden" >&2
  status=1
fi
# The hardening, read from the packaged daemon itself: lintian's own checks of it do not see
# every flag.
if command -v readelf >/dev/null 2>&1; then
  dpkg-deb -x "$deb" "$work/tree"
  daemon=$work/tree/usr/sbin/orvaned
  readelf -lW "$daemon" | grep -q GNU_RELRO || { echo "FAIL: no RELRO" >&2; status=1; }
  readelf -d "$daemon" | grep -q 'Flags:.*NOW.*PIE' || { echo "FAIL: not BIND_NOW and PIE" >&2; status=1; }
  readelf --dyn-syms -W "$daemon" >"$work/symbols"
  for symbol in __stack_chk_fail __snprintf_chk; do
    grep -q " $symbol@" "$work/symbols" || { echo "FAIL: no $symbol (hardening flags)" >&2; status=1; }
  done
fi
# Every override names a tag that lintian still raises, or it has become stale.
grep -v '^#' "$source/packaging/lintian-overrides" | grep -v '^$' |
  sed 's/^orvaned: \([^ ]*\).*/\1/' | sort -u >"$work/overridden"
while read -r tag; do
  grep -q "^O: orvaned: $tag " "$work/report" || { echo "FAIL: override of $tag is not used" >&2; status=1; }
done <"$work/overridden"
[ $status = 0 ] && echo "lintian test passed"
exit $status
