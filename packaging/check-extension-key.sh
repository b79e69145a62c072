#!/bin/sh
# check-extension-key.sh KEY.pem MANIFEST browsers.h: the key that signs the packed extension is
# the one whose public half the extension's manifest carries, and the ID it gives is the one the
# host manifests allow. A mismatch would give the browsers an extension its host refuses.
set -eu
key=$1 manifest=$2 table=$3
public=$(openssl pkey -in "$key" -pubout -outform DER | base64 -w0)
grep -q "\"key\": \"$public\"" "$manifest" || {
  echo "check-extension-key: $manifest does not carry the public half of $key" >&2; exit 1; }
id=$(openssl pkey -in "$key" -pubout -outform DER | openssl dgst -sha256 -binary | head -c 16 | xxd -p |
  tr 0-9a-f a-p)
grep -q "kChromiumExtensionId\[\] = \"$id\"" "$table" || {
  echo "check-extension-key: $key gives the ID $id, which $table does not name" >&2; exit 1; }
