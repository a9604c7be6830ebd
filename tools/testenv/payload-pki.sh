#!/bin/bash
# Makes the certificates of the local payload servers in BUILD/testenv/pki:
#   ca.pem/.der        a test certificate authority (imported into the Wine prefix's machine root store)
#   address.pem/.key   the server certificate for 127.0.0.1: CN is the address and there is no
#                      subject-alt-name, because Wine 8 matches an IP endpoint only against the CN
#   name.pem/.key      the server certificate for localhost: subject-alt-name DNS:localhost
#   stranger.pem/.key  a certificate for 127.0.0.1 from an authority nobody trusts (validation tests)
# Keys never leave the build tree. An existing set is kept while it verifies and stays valid
# for another day, so the prefix's root store does not collect a new authority on every start.
set -euo pipefail
build=$(cd "${1:?usage: payload-pki.sh BUILD_DIR}" && pwd)
pki="$build/testenv/pki"
mkdir -p "$pki"
chmod 700 "$pki"
cd "$pki"

valid() {
  [ -f ca.pem ] && [ -f ca.der ] && [ -f stranger.pem ] || return 1
  for cert in address name; do
    [ -f "$cert.pem" ] && [ -f "$cert.key" ] || return 1
    openssl verify -CAfile ca.pem "$cert.pem" >/dev/null 2>&1 || return 1
    openssl x509 -in "$cert.pem" -noout -checkend 86400 >/dev/null 2>&1 || return 1
  done
  openssl x509 -in ca.pem -noout -checkend 86400 >/dev/null 2>&1
}
valid && exit 0

rm -f ./*.pem ./*.key ./*.der ./*.csr ./*.srl ./*.ext
umask 077
authority() {  # name, subject
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout "$1.key" -out "$1.pem" \
    -subj "$2" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
leaf() {  # name, subject, issuer, extra extension line or ""
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n%s\n' \
    "$4" >"$1.ext"
  openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  openssl x509 -req -sha256 -days 825 -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
authority ca "/O=orvo game test/CN=orvo game test payload CA"
leaf address "/CN=127.0.0.1" ca ""
leaf name "/CN=localhost" ca "subjectAltName=DNS:localhost"
authority stranger-ca "/O=orvo game test/CN=orvo game untrusted CA"
leaf stranger "/CN=127.0.0.1" stranger-ca ""
openssl x509 -in ca.pem -outform der -out ca.der
rm -f ./*.srl stranger-ca.key
chmod 644 ./*.pem ./*.der
valid
