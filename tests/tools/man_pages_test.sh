#!/bin/sh
# The manual pages render without a single groff warning, and man(1) shows them.
#   man_pages_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
command -v groff >/dev/null 2>&1 || { echo "groff not installed"; exit 77; }
status=0
for page in "$src/packaging/orvaned.8" "$src/packaging/orvane-settings.8"; do
  warnings=$(groff -man -Tutf8 -ww "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "FAIL: $page: $warnings" >&2
    status=1
  fi
  if command -v man >/dev/null 2>&1; then
    if ! shown=$(MANPAGER=cat MANWIDTH=80 man -l "$page" 2>&1); then
      echo "FAIL: man -l $page: $shown" >&2
      status=1
    fi
    for heading in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" "SEE ALSO"; do
      printf '%s\n' "$shown" | grep -qx "$heading" || {
        echo "FAIL: man -l $page shows no $heading section" >&2
        status=1
      }
    done
  fi
done
[ $status = 0 ] && echo "manual pages render cleanly"
exit $status
