#!/bin/sh
# crx.sh KEY.pem EXTENSION-DIR OUT.crx: the extension packed as Chromium's signed CRX (format 3),
# so that Chromium-family browsers install it from a file without a store. With OUT.xpi, the
# archive alone, for Firefox.
#
# A CRX3 file is "Cr24", the format number 3 and the header's length (both 32-bit little
# endian), the header (a protocol-buffer message), then the extension as a ZIP archive. The
# header holds the RSA public key with its SHA-256 signature over
# "CRX3 SignedData\0" + length(signed data) + signed data + archive, and the signed data holds
# the extension's ID: the first 16 bytes of SHA-256 over the public key (its SubjectPublicKeyInfo,
# the same bytes as the manifest's "key"). The key therefore fixes the ID; the build checks it.
#
# The archive is reproducible: its files in a fixed order with a fixed time (SOURCE_DATE_EPOCH,
# by default 2026-01-01), without extra attributes. PKCS #1 v1.5 signatures are deterministic, so
# the same tree and key always give the same bytes.
set -eu
key=$1 src=$2 out=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/velmor-crx.XXXXXX")
trap 'rm -rf "$work"' EXIT

# hex_varint N: N as a protocol-buffer varint, in hex.
hex_varint() {
  n=$1 hex=""
  while [ "$n" -ge 128 ]; do
    hex="$hex$(printf '%02x' $(((n & 127) | 128)))"
    n=$((n >> 7))
  done
  printf '%s%02x' "$hex" "$n"
}
# hex_le32 N: N as 32 bits, little endian, in hex.
hex_le32() {
  printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}
hex_of() { xxd -p "$1" | tr -d '\n'; }
bytes() { wc -c < "$1" | tr -d ' '; }

mkdir "$work/tree"
cp -R "$src/." "$work/tree/"
stamp=$(date -u -d "@${SOURCE_DATE_EPOCH:-1767225600}" +%Y%m%d%H%M.%S)
find "$work/tree" -exec touch -h -t "$stamp" {} +
(cd "$work/tree" && find . -type f | LC_ALL=C sort | sed 's|^\./||' |
  TZ=UTC zip -X -D -q -9 "$work/archive.zip" -@)

# Firefox takes the archive as it is (.xpi); its signature would be the store's.
case "$out" in
  *.xpi) mv "$work/archive.zip" "$out"; exit 0 ;;
esac

openssl pkey -in "$key" -pubout -outform DER -out "$work/public.der"
openssl dgst -sha256 -binary "$work/public.der" | head -c 16 > "$work/id.bin"

# SignedData { bytes crx_id = 1; }
printf '0a10%s' "$(hex_of "$work/id.bin")" | xxd -r -p > "$work/signed.bin"
{
  printf 'CRX3 SignedData\000'
  printf '%s' "$(hex_le32 "$(bytes "$work/signed.bin")")" | xxd -r -p
  cat "$work/signed.bin" "$work/archive.zip"
} > "$work/to-sign.bin"
openssl dgst -sha256 -sign "$key" -out "$work/signature.bin" "$work/to-sign.bin"

# AsymmetricKeyProof { bytes public_key = 1; bytes signature = 2; }
proof="0a$(hex_varint "$(bytes "$work/public.der")")$(hex_of "$work/public.der")"
proof="${proof}12$(hex_varint "$(bytes "$work/signature.bin")")$(hex_of "$work/signature.bin")"
# CrxFileHeader { repeated AsymmetricKeyProof sha256_with_rsa = 2; bytes signed_header_data = 10000; }
header="12$(hex_varint $((${#proof} / 2)))$proof"
header="${header}82f104$(hex_varint "$(bytes "$work/signed.bin")")$(hex_of "$work/signed.bin")"

{
  printf 'Cr24'
  printf '%s%s%s' "$(hex_le32 3)" "$(hex_le32 $((${#header} / 2)))" "$header" | xxd -r -p
  cat "$work/archive.zip"
} > "$out.new"
mv "$out.new" "$out"
