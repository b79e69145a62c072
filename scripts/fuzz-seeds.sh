#!/usr/bin/env bash
# Regenerates the seed corpora of the control fuzzers (and of the platform's message and
# certificate parsers) under fuzz/corpus/<target>/: real
# signatures, messages and envelopes made by driving a control (fuzz_seeds, built with the fuzz
# preset, on the same derived keys as the fuzzers), certificates of unusual shapes made with the
# openssl tool, and texts in each code page made with iconv.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${JOBS:-2}" --target fuzz_seeds >/dev/null

targets="fuzz_control_setters fuzz_control_verify fuzz_control_decrypt fuzz_cn_text fuzz_codepage
  fuzz_crypt_message fuzz_crypt_certificate fuzz_pinentry_replies"
for t in $targets; do rm -rf "fuzz/corpus/$t"; mkdir -p "fuzz/corpus/$t"; done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Certificates whose subjects and serials the CN setter and the verifiers must cope with.
cert() {  # name, subject, serial, [extra openssl req options]
  local name=$1 subject=$2 serial=$3
  shift 3
  openssl req -x509 -newkey rsa:1024 -nodes -keyout "$tmp/$name.key" -subj "$subject" \
    -set_serial "$serial" -days 36500 -outform DER -out "$tmp/$name.der" "$@" 2>/dev/null
}
cert quoted '/O=ACN\=Fake/CN=Real, Name/OU=QVA' 0x0102
cert utf8 '/CN=Grüße Müller/OU=QWB' 0x00ff01 -utf8
cert long "/CN=$(printf 'N%.0s' $(seq 1 64))/OU=QVA" 0x7fffffffffffffffffffffffffffffffffffffff
cert multi '/CN=Alice+OU=QVA/O=Tarnvik Bank' 1
cert nocn '/O=Tarnvik Bank/OU=QVA' 0x80
build-fuzz/bin/fuzz_seeds fuzz/corpus "$tmp"/*.der

# Code-page texts: selector bits 0-2 name the code page in the order the target lists them;
# bit 3 marks UTF-16LE units to narrow.
text='Grüße, Müller — 价格 日本語 한국어 中文 Привет £€'
i=0
for cp in UTF-8 CP1252 CP936 CP932 CP949 CP950 CP1251; do
  { printf "\\x$(printf %02x $i)"; printf '%s' "$text" | iconv -c -f UTF-8 -t "$cp"; } \
    > "fuzz/corpus/fuzz_codepage/bytes-$cp"
  { printf "\\x$(printf %02x $((i | 8)))"; printf '%s' "$text" | iconv -f UTF-8 -t UTF-16LE; } \
    > "fuzz/corpus/fuzz_codepage/units-$cp"
  i=$((i + 1))
done
printf '\x00\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82' > fuzz/corpus/fuzz_codepage/bytes-ill-formed
printf '\x18\x00\xd8\x41\x00\x00\xdc' > fuzz/corpus/fuzz_codepage/units-lone-surrogates
printf '\x13\x81\x82\x83' > fuzz/corpus/fuzz_codepage/bytes-cut-lead-932

# What PIN dialogs answer: a PIN (escaped and in two data lines), a cancel, status lines.
d=fuzz/corpus/fuzz_pinentry_replies
printf 'OK Pleased to meet you\nOK\nOK\nOK\nD 1234\nOK\nOK closing connection\n' > "$d/pin"
printf 'OK hi\n# a comment\nOK\nERR 83886254 Unknown option\nOK\nS PASSPHRASE\nD 12%%25\nD %%0A34\nOK\nOK\n' > "$d/escaped-pin"
printf 'OK\nOK\nOK\nOK\nERR 83886179 Operation cancelled <Pinentry>\n' > "$d/cancelled"
printf 'OK\nOK\nOK\nOK\nINQUIRE QUALITY\nS ERROR gnome3.isatty 83918950\nERR 83918950 Inappropriate ioctl\n' > "$d/no-tty"
printf 'OK\nOK\nOK\nOK\nD %%4\nOK\n' > "$d/cut-escape"

for t in $targets; do echo "$t: $(ls "fuzz/corpus/$t" | wc -l) seeds, $(du -sh "fuzz/corpus/$t" | cut -f1)"; done
