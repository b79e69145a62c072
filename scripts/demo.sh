#!/usr/bin/env bash
# The whole tour, as a bank's page and customer meet velmor:
#   1. a demonstration CA issues the customer a certificate with OU=QVA, handed over as a PKCS #12
#      file (DEMONSTRATION MATERIAL ONLY: made here, with throw-away keys);
#   2. the customer imports it into their personal ("MY") store and trusts the CA ("Root");
#   3. the page drives one control through IDispatch (`velmor call`): it lists the certificates,
#      names one through CN, signs, verifies the raw signature and the PKCS #7 message, and seals
#      and opens a text and a file;
#   4. the bank checks the signatures and envelopes with the `openssl` tool, an independent peer.
# Each step prints its answer (long ones shortened); the script exits 0 only when every answer is
# the expected one.
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
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }
short() { local t=${1//$'\n'/}; ((${#t} > 96)) && t="${t:0:80}…(${#1} characters)"; printf '%s' "$t"; }

step "A demonstration CA issues Alice a certificate (RSA-2048, OU=QVA) as alice.p12"
openssl req -x509 -newkey rsa:2048 -nodes -days 365 -set_serial 0x0CA1 \
  -subj "/CN=Tarnvik Demonstration CA (not for real use)/O=Tarnvik Bank" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Alice/OU=QVA/O=Tarnvik Bank" \
  -keyout "$work/alice.key" -out "$work/alice.csr" 2>/dev/null
openssl x509 -req -in "$work/alice.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial 0x5A17C3E9D2B4F601 -days 365 -out "$work/alice.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/alice.key" -in "$work/alice.pem" -certfile "$work/ca.pem" \
  -passout pass:demo -out "$work/alice.p12"

step "velmor register: the control module goes into the user's registry, as a bank's installer puts it"
"$velmor" register

step "velmor certs import --store MY alice.p12; velmor certs add --store Root ca.pem"
"$velmor" certs import --store MY --password demo "$work/alice.p12"
"$velmor" certs add --store Root "$work/ca.pem"
"$velmor" certs list --store MY

# Serials as the store writes them (every encoded byte, a leading zero byte included).
serial=$("$velmor" certs list --store MY | grep -o "^[0-9a-f]*" | head -n1)
ca_serial=$("$velmor" certs list --store Root | grep -o "^[0-9a-f]*" | head -n1)
cntext=$(printf '%02d%s%02d%s' 8 "CN=Alice" "${#serial}" "$serial")

# One control for the whole tour: the page's inputs stay set between requests, as on a page.
coproc CONTROL { "$velmor" call; }
id=0
# ask REQUEST-WITHOUT-ID: sends one request and leaves its answer's result in $result.
ask() {
  id=$((id + 1))
  printf '%s\n' "$(jq -c --argjson id "$id" '. + {id: $id}' <<<"$1")" >&"${CONTROL[1]}"
  IFS= read -r answer <&"${CONTROL[0]}" || fail "the control stopped"
  result=$(jq -j '.result // (if .ok then "" else ("error: " + .error) end)' <<<"$answer")
}
put() { ask "$(jq -nc --arg n "$1" --arg v "$2" '{op: "put", name: $n, value: $v}')"; }
get() { ask "$(jq -nc --arg n "$1" '{op: "get", name: $n}')"; show "$1" "$2"; }
call() {
  local name=$1 expect=$2
  shift 2
  ask "$(jq -nc --arg n "$name" '{op: "call", name: $n, args: $ARGS.positional}' --args "$@")"
  show "$name()" "$expect"
}
# show WHAT EXPECTED-PREFIX: prints the answer and stops the tour on an unexpected one.
show() {
  printf '%-18s %s\n' "$1" "$(short "$result")"
  [[ "$result" == "$2"* ]] || fail "$1 answered $(short "$result"), expected $2…"
}

step "The page drives one control through IDispatch (velmor call)"
call getCertList "CN=Alice,$serial;"
put CN "$cntext"
get CN "$cntext"
call getProviderName "Microsoft Enhanced Cryptographic Provider v1.0"
put SignData "Pay 100.00 EUR to 1234-5678~!~reference 42"
get SignData "A:00000076Pay 100.00 EUR"
signdata=$result
textlen=$((10#${signdata:2:8}))
text=${signdata:10:textlen}  # as signed: blanks pad the part before "~!~" to 64 characters
get Signature "L:00000512"
signature_hex=${result:10}
call PKCS7Data "MII"
message=$result
call SignCert "MII"
certificate=${result//$'\n'/}

step "The page verifies what it signed"
put IssuerCN "$ca_serial"
call VerifyPKCS7 "A:00000076Pay 100.00 EUR" "$message"
call VerifySignature "A:0000" "$text" "$signature_hex" "$certificate"
call VerifySignature "E:0007" "${text/100.00/900.00}" "$signature_hex" "$certificate"

step "The page seals a text and a file for Alice and opens them with her key"
put EncryptCN "$certificate"
put DecryptCN "$serial"
call Encrypt "" "Statement 2026-12: balance 1,234.56 EUR"
sealed=$result
[[ "$sealed" != E:* ]] || fail "Encrypt answered $sealed"
call Decrypt "A:00000039Statement 2026-12: balance 1,234.56 EUR" "$sealed"
printf 'Statement for Alice, December 2026\nbalance 1,234.56 EUR\n' > "$work/statement.txt"
call EncryptFile "A:0000" "$PWD/$work/statement.txt"
call DecryptFile "A:0000" "$PWD/$work/statement.txt.enc"
cmp -s "$work/statement.txt" "$work/statement.txt.enc.dec" || fail "the opened file differs"
echo "statement.txt.enc.dec is statement.txt again"
exec {CONTROL[1]}>&-

step "The bank checks the results with openssl"
printf '%s' "$text" > "$work/signed.txt"
printf '%s' "${signdata:$((10 + textlen + 8))}" | xxd -r -p > "$work/signature.bin"
openssl x509 -in "$work/alice.pem" -pubkey -noout > "$work/alice.pub"
printf 'SignData signature:  '
openssl dgst -md5 -verify "$work/alice.pub" -signature "$work/signature.bin" "$work/signed.txt"

printf '%s\n' "$message" | openssl base64 -d > "$work/message.p7"
printf 'PKCS7Data message:   '
openssl cms -verify -inform DER -in "$work/message.p7" -CAfile "$work/ca.pem" -purpose any \
  -out "$work/content.txt" 2>&1
cmp -s "$work/content.txt" "$work/signed.txt" || fail "the message does not carry the signed text"

printf '%s' "$certificate" | openssl base64 -d -A > "$work/signcert.der"
openssl x509 -in "$work/alice.pem" -outform DER -out "$work/alice.der"
cmp -s "$work/signcert.der" "$work/alice.der" || fail "SignCert is not Alice's certificate"
echo "SignCert:            the very certificate in the store"

# The file envelope: eight digits of blob length, the SIMPLEBLOB (its wrapped key least
# significant byte first), then RC4 after 512 bytes of discarded key stream.
envelope="$work/statement.txt.enc"
blob_length=$((10#$(head -c 8 "$envelope")))
tail -c +21 "$envelope" | head -c $((blob_length - 12)) | xxd -p | tr -d '\n' | fold -w2 | tac | tr -d '\n' |
  xxd -r -p > "$work/wrapped.bin"
openssl pkeyutl -decrypt -inkey "$work/alice.key" -in "$work/wrapped.bin" -out "$work/session.bin"
{ head -c 512 /dev/zero; tail -c +$((9 + blob_length)) "$envelope"; } > "$work/rc4-in.bin"
openssl enc -d -rc4 -provider legacy -provider default -nosalt -K "$(xxd -p "$work/session.bin")" \
  -in "$work/rc4-in.bin" | tail -c +513 > "$work/opened-by-openssl.txt"
cmp -s "$work/opened-by-openssl.txt" "$work/statement.txt" || fail "openssl cannot open the envelope"
echo "EncryptFile envelope: opened by openssl pkeyutl + enc -rc4 to statement.txt"
printf '\nThe whole tour gave the expected answers.\n'
