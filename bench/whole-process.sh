#!/bin/sh
# Whole processes side by side, in turns within one run: a fresh `velmor call` signing a short
# text once beside `openssl dgst -md5 -sign`, SignFile on a large file beside the same openssl
# command on it, and EncryptFile / DecryptFile beside `openssl enc -rc4`. Each pair runs in
# turns, RUNS times, so that both see the same machine; the median wall-clock time of each and
# their ratio are printed.
#
#   bench/whole-process.sh [BUILD_DIR]      (RUNS=20, BIG_MIB=256 in the environment)
set -eu

build=${1:-build}
velmor=$(cd "$build/bin" && pwd)/velmor
runs=${RUNS:-20}
big_mib=${BIG_MIB:-256}
[ -x "$velmor" ] || { echo "no $velmor: build first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME="$work/data" HOME="$work" VELMOR_KEY_STORAGE=file
unset DBUS_SESSION_BUS_ADDRESS || true
cd "$work"

# One signer with its key in MY, its certificate also in CA for EncryptCN.
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 \
  -subj "/CN=Alice/OU=QVA/O=Tarnvik Bank" -set_serial 0x5a17c3e9d2b4f601 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -out alice.p12 -passout pass:x
"$velmor" certs import --store MY alice.p12 --passin pass:x >/dev/null
"$velmor" certs add --store CA cert.pem >/dev/null
"$velmor" register >/dev/null
serial=5a17c3e9d2b4f601
cn="08CN=Alice16$serial"
printf 'pay 100.00 EUR to account 12345678' >small.txt
head -c $((big_mib * 1024 * 1024)) /dev/urandom >big.bin

printf '{"op":"put","name":"CN","value":"%s"}\n{"op":"put","name":"SignData","value":"pay 100.00 EUR to account 12345678"}\n{"op":"get","name":"SignData"}\n' \
  "$cn" >sign.jsonl
printf '{"op":"put","name":"CN","value":"%s"}\n{"op":"put","name":"SignFile","value":"%s"}\n{"op":"get","name":"SignFile"}\n' \
  "$cn" "$work/big.bin" >signfile.jsonl
printf '{"op":"put","name":"EncryptCN","value":"%s"}\n{"op":"call","name":"EncryptFile","args":["%s"]}\n' \
  "$serial" "$work/big.bin" >encrypt.jsonl
printf '{"op":"put","name":"DecryptCN","value":"%s"}\n{"op":"call","name":"DecryptFile","args":["%s"]}\n' \
  "$serial" "$work/big.bin.enc" >decrypt.jsonl
rc4key=000102030405060708090a0b0c0d0e0f

check() {  # the control answered without an error
  if grep -q '"error"\|"result":"E:' "$1"; then echo "velmor failed: $(cat "$1")" >&2; exit 1; fi
}

now() { date +%s%N; }

# median FILE: the middle of the numbers in FILE (nanoseconds), in milliseconds.
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1e6 }'; }

# pair NAME RUNS "VELMOR COMMAND" "OPENSSL COMMAND"
pair() {
  : >a.times
  : >b.times
  i=0
  while [ "$i" -lt "$2" ]; do
    t0=$(now); sh -c "$3" >out.txt; t1=$(now); check out.txt
    sh -c "$4" >/dev/null; t2=$(now)
    echo $((t1 - t0)) >>a.times
    echo $((t2 - t1)) >>b.times
    i=$((i + 1))
  done
  a=$(median a.times)
  b=$(median b.times)
  printf '%-44s velmor %9s ms   openssl %9s ms   ratio %s\n' "$1" "$a" "$b" \
    "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", a / b }')"
}

echo "median of $runs runs each, in turns ($(nproc) CPUs, load $(cut -d' ' -f1 /proc/loadavg))"
pair "sign a short text (fresh process)" "$runs" \
  "'$velmor' call <sign.jsonl" "openssl dgst -md5 -sign key.pem small.txt"
big_runs=$(( runs / 4 > 3 ? runs / 4 : 3 ))
cat big.bin >/dev/null  # in the page cache for both
pair "SignFile ${big_mib} MiB" "$big_runs" \
  "'$velmor' call <signfile.jsonl" "openssl dgst -md5 -sign key.pem big.bin"
pair "EncryptFile ${big_mib} MiB" "$big_runs" \
  "'$velmor' call <encrypt.jsonl" \
  "openssl enc -rc4 -provider legacy -provider default -nosalt -K $rc4key -in big.bin -out big.bin.rc4"
pair "DecryptFile ${big_mib} MiB" "$big_runs" \
  "'$velmor' call <decrypt.jsonl" \
  "openssl enc -d -rc4 -provider legacy -provider default -nosalt -K $rc4key -in big.bin.rc4 -out big.bin.plain"
