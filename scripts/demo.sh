#!/usr/bin/env bash
# The main job, end to end, as a bank's page and customer meet it:
#   1. the bank issues the customer a certificate with OU=QVA and hands it over as a PKCS #12 file;
#   2. the customer imports it into their personal ("MY") store with `velmor certs import`;
#   3. the page lists the certificates it may sign with, names one through CN, sets SignData and
#      reads SignData, Signature, PKCS7Data and SignCert through `velmor call`;
#   4. the bank checks the results with the `openssl` tool, an independent peer.
#
# Everything lives in a store of its own under build/demo (XDG_DATA_HOME), so the demonstration
# never touches the user's real certificates and keys and can run again and again.
set -euo pipefail
cd "$(dirname "$0")/.."
velmor=${VELMOR:-build/bin/velmor}
work=build/demo
rm -rf "$work"
mkdir -p "$work/data"
export XDG_DATA_HOME="$PWD/$work/data"

step() { printf '\n== %s\n' "$*"; }

step "The bank issues a certificate for Alice (RSA-2048, OU=QVA) as alice.p12"
openssl req -x509 -newkey rsa:2048 -nodes -days 365 -set_serial 0x5A17C3E9D2B4F601 -subj "/CN=Alice/OU=QVA/O=Tarnvik Bank" \
  -keyout "$work/alice.key" -out "$work/alice.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/alice.key" -in "$work/alice.pem" -passout pass:demo \
  -out "$work/alice.p12"

step "velmor certs import --store MY alice.p12"
"$velmor" certs import --store MY --password demo "$work/alice.p12"
"$velmor" certs list --store MY

# The serial as the store writes it (every encoded byte, a leading zero byte included).
serial=$("$velmor" certs list --store MY | grep -o "^[0-9a-f]*" | head -n1)
cntext=$(printf '%02d%s%02d%s' 8 "CN=Alice" "${#serial}" "$serial")

step "The page drives a control through IDispatch (velmor call)"
requests=$(cat <<JSON
{"id":1,"op":"get","name":"Copyright"}
{"id":2,"op":"call","name":"getCertList","args":[]}
{"id":3,"op":"put","name":"CN","value":"$cntext"}
{"id":4,"op":"get","name":"CN"}
{"id":5,"op":"call","name":"getProviderName","args":[]}
{"id":6,"op":"put","name":"SignData","value":"Pay 100.00 EUR to 1234-5678~!~reference 42"}
{"id":7,"op":"get","name":"SignData"}
{"id":8,"op":"get","name":"Signature"}
{"id":9,"op":"call","name":"PKCS7Data","args":[]}
{"id":10,"op":"call","name":"SignCert","args":[]}
JSON
)
answers=$(printf '%s\n' "$requests" | "$velmor" call)
printf '%s\n' "$answers" | cut -c1-150

field() { printf '%s\n' "$answers" | jq -j "select(.id == $1) | .result"; }

step "The bank checks the results with openssl"
signdata=$(field 7)
textlen=$((10#${signdata:2:8}))
text=${signdata:10:textlen}
hex=${signdata:$((10 + textlen + 8))}
printf '%s' "$text" > "$work/signed.txt"
printf '%s' "$hex" | xxd -r -p > "$work/signature.bin"
openssl x509 -in "$work/alice.pem" -pubkey -noout > "$work/alice.pub"
printf 'SignData signature:  '
openssl dgst -md5 -verify "$work/alice.pub" -signature "$work/signature.bin" "$work/signed.txt"

field 9 | openssl base64 -d > "$work/message.p7"
printf 'PKCS7Data message:   '
openssl cms -verify -inform DER -in "$work/message.p7" -noverify -out "$work/content.txt" 2>&1
cmp -s "$work/content.txt" "$work/signed.txt" && echo "content is the signed text"

field 10 | openssl base64 -d > "$work/signcert.der"
openssl x509 -in "$work/alice.pem" -outform DER -out "$work/alice.der"
printf 'SignCert:            '
cmp -s "$work/signcert.der" "$work/alice.der" && echo "the very certificate in the store"
