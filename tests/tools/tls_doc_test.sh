#!/bin/sh
# The commands of docs/TLS.md make what the page says: run in an empty directory, they leave a
# CA and, for each router, a private key readable by its owner only and a certificate that
# chains to the CA, carries the router's name and serves as client and as server; the settings
# tool takes the three files without a word.
#   tls_doc_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
command -v openssl >/dev/null 2>&1 || { echo "openssl not installed"; exit 77; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# Every block fenced as sh, in the page's order, as one script.
awk '/^```sh$/ { on = 1; next } /^```$/ { on = 0 } on' "$src/docs/TLS.md" > "$work/commands.sh"
[ -s "$work/commands.sh" ] || { echo "FAIL: docs/TLS.md has no sh block" >&2; exit 1; }
if ! (cd "$work" && sh -e commands.sh > commands.log 2>&1); then
  cat "$work/commands.log" >&2
  fail "the commands of docs/TLS.md failed"
fi

routers=0
for cert in "$work"/*.pem; do
  name=$(basename "$cert" .pem)
  [ "$name" = ca ] && continue
  routers=$((routers + 1))
  for purpose in sslserver sslclient; do
    openssl verify -CAfile "$work/ca.pem" -purpose $purpose -verify_hostname "$name" "$cert" \
      > /dev/null 2>&1 || fail "$name.pem does not verify as $purpose for $name against ca.pem"
  done
  key="$work/$name.key"
  mode=$(stat -c %a "$key" 2>/dev/null)
  [ "$mode" = 600 ] || fail "$name.key has mode ${mode:-none}, not 600"
  [ "$(openssl pkey -in "$key" -pubout 2>/dev/null)" = \
    "$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null)" ] ||
    fail "$name.key does not belong to $name.pem"
done
[ $routers -ge 2 ] || fail "the commands made $routers router certificates, not two or more"

# The tool takes the files as a router's settings; a build without TLS refuses them.
tool="$build/orvane-settings"
if [ -x "$tool" ] && [ $routers -ge 1 ]; then
  cp "$src/packaging/settings" "$work/settings"
  if out=$("$tool" -f "$work/settings" set "tls_cert=$cert" "tls_key=$key" \
      "tls_ca=$work/ca.pem" tls_port=2001 2>&1); then
    [ -z "$out" ] || fail "orvane-settings said: $out"
  else
    case $out in
      *"built without encrypted calls"*) ;;
      *) fail "orvane-settings refused the files: $out" ;;
    esac
  fi
fi
[ $status = 0 ] && echo "the commands of docs/TLS.md make $routers router certificates of one CA"
exit $status
