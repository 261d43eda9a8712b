#!/bin/sh
# The Debian package passes lintian: no error, and no warning that the package does not override
# with a reason (packaging/lintian-overrides). Skipped (77) where lintian is not installed.
#   lintian_test.sh SOURCE_DIR BUILD_DIR
set -eu
source=$1
build=$2
command -v lintian >/dev/null 2>&1 || { echo "lintian not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack" >&2; exit 1; }
deb=$(ls "$work"/out/*.deb)

lintian --show-overrides --tag-display-limit 0 "$deb" >"$work/report" 2>&1 || true
status=0
if grep -E '^(E|W):' "$work/report" >&2; then
  echo "FAIL: lintian reports errors or warnings" >&2
  status=1
fi
# Every override names a tag that lintian still raises, or it has become stale.
grep -v '^#' "$source/packaging/lintian-overrides" | grep -v '^$' |
  sed 's/^orvaned: \([^ ]*\).*/\1/' | sort -u >"$work/overridden"
while read -r tag; do
  grep -q "^O: orvaned: $tag " "$work/report" || { echo "FAIL: override of $tag is not used" >&2; status=1; }
done <"$work/overridden"
[ $status = 0 ] && echo "lintian test passed"
exit $status
