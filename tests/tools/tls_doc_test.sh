#!/bin/sh
# The sh blocks of docs/TLS.md, run in an empty directory, make a CA and for each router a key
# of mode 600 and a certificate that chains to the CA, carries the router's name and serves as
# client and server.
#   tls_doc_test.sh SOURCE_DIR BUILD_DIR
set -u
command -v openssl >/dev/null 2>&1 || { echo "openssl not installed"; exit 77; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

awk '/^```sh$/ { on = 1; next } /^```$/ { on = 0 } on' "$1/docs/TLS.md" > "$work/commands.sh"
(cd "$work" && sh -e commands.sh > log 2>&1) || { cat "$work/log" >&2; fail "commands failed"; }
routers=0
for cert in "$work"/*.pem; do
  name=$(basename "$cert" .pem) key="$work/$(basename "$cert" .pem).key"
  [ "$name" = ca ] && continue
  routers=$((routers + 1))
  for purpose in sslserver sslclient; do
    openssl verify -CAfile "$work/ca.pem" -purpose $purpose -verify_hostname "$name" "$cert" \
      > /dev/null 2>&1 || fail "$name.pem does not verify as $purpose for $name"
  done
  [ "$(stat -c %a "$key")" = 600 ] || fail "$name.key is not of mode 600"
  [ "$(openssl pkey -in "$key" -pubout)" = "$(openssl x509 -in "$cert" -noout -pubkey)" ] ||
    fail "$name.key does not belong to $name.pem"
done
[ $routers -ge 2 ] || fail "$routers router certificates made, not two or more"
[ $status = 0 ] && echo "docs/TLS.md makes $routers router certificates of one CA"
exit $status
