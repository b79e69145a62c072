#!/usr/bin/env bash
# package-check: the Debian package proved in a clean place. With the build trees moved away, it
# installs build-package/velmor_*_amd64.deb with apt-get on this machine, uses the installed
# velmor as a customer would (the module registered on first use, a certificate imported, a
# signature checked by openssl), runs the browser tests against the installed files only
# (manifests from /etc, the host from /usr/bin, extension and page from /usr/share/velmor; as
# root also a bank's managed policy in /etc/chromium/policies, and the packed extension that
# chromium and firefox-esr install without --load-extension), checks velmor doctor, then
# purges the package and checks that nothing of it is left and nothing of the user's is gone.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi

deb=$(ls build-package/velmor_*_amd64.deb | tail -1)
work=$(mktemp -d /tmp/velmor-package-check.XXXXXX)
cp "$deb" "$work/"
deb="$work/$(basename "$deb")"

# Nothing may reach into a build tree: they are moved aside until the check ends.
moved=()
restore() {
  for d in "${moved[@]}"; do mv "$work/away/$d" "$repo/$d"; done
}
trap restore EXIT
mkdir -p "$work/away"
for d in build build-asan build-fuzz build-package build-rpm; do
  if [[ -e "$d" ]]; then mv "$d" "$work/away/$d"; moved+=("$d"); fi
done

fail() { echo "package-check: $*" >&2; exit 1; }

echo "== install $deb"
$sudo apt-get install -y -qq "$deb" >/dev/null
[[ $(command -v velmor) == /usr/bin/velmor ]] || fail "velmor is not /usr/bin/velmor"
[[ -x /usr/bin/velmor-host ]] || fail "no /usr/bin/velmor-host"
for m in /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts \
         /etc/opt/edge/native-messaging-hosts /usr/lib/mozilla/native-messaging-hosts; do
  grep -q '"path": "/usr/bin/velmor-host"' "$m/org.velmor.host.json" || fail "no host manifest in $m"
done
# The packed extension, and the files by which the Chromium family installs it.
id=nfmifenlhpaglgpgnjmepjnnmcllmfpj
[[ $(head -c 4 /usr/share/velmor/velmor.crx) == Cr24 ]] || fail "/usr/share/velmor/velmor.crx is no CRX"
for d in /usr/share/chromium/extensions /usr/share/google-chrome/extensions /usr/share/microsoft-edge/extensions; do
  [[ $(jq -r .external_crx "$d/$id.json") == /usr/share/velmor/velmor.crx ]] || fail "no external extension in $d"
done
dpkg -L velmor | sort > "$work/files"

echo "== a customer's first use"
export HOME="$work/home" && mkdir -p "$HOME"
unset XDG_DATA_HOME XDG_STATE_HOME XDG_CONFIG_HOME
pki="$work/pki" && mkdir -p "$pki"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -set_serial 0x0BADC0DE2026 -subj "/CN=Packaged/OU=QVA/O=Tarnvik Bank" \
  -keyout "$pki/key.pem" -out "$pki/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$pki/key.pem" -in "$pki/cert.pem" -passout pass:p -out "$pki/id.p12"
openssl x509 -in "$pki/cert.pem" -pubkey -noout > "$pki/pub.pem"
velmor certs import --store MY --passin pass:p "$pki/id.p12"
serial=$(velmor certs list --store MY | awk 'NR == 1 {print $1}')
name="CN=Packaged"
cn=$(printf '%02d%s%02d%s' "${#name}" "$name" "${#serial}" "$serial")
requests=$(printf '{"op":"put","name":"CN","value":"%s"}\n{"op":"put","name":"SignData","value":"abc"}\n{"op":"get","name":"SignData"}\n' "$cn")
answer=$(velmor call <<<"$requests" 2>"$work/first.err" | tail -1)
grep -q 'registered the control VELMOR.VelmorCtrl.QVA from /usr/lib/velmor/velmorQVA.so' "$work/first.err" ||
  fail "the first use did not register the installed module: $(cat "$work/first.err")"
velmor call <<<"$requests" 2>"$work/second.err" >/dev/null
[[ ! -s "$work/second.err" ]] || fail "the second use spoke again: $(cat "$work/second.err")"
echo "== velmor doctor"
velmor doctor --browser chromium --browser firefox > "$work/doctor.out" || { cat "$work/doctor.out"; fail "velmor doctor found a problem"; }
grep -q "/etc/chromium/native-messaging-hosts/org.velmor.host.json names our extension" "$work/doctor.out" ||
  fail "velmor doctor did not find chromium's manifest: $(cat "$work/doctor.out")"
LANG=zh_CN.UTF-8 velmor doctor --browser chromium | grep -q "能启动并应答" || fail "velmor doctor does not speak Chinese"
signed=$(jq -r .result <<<"$answer")
[[ $signed == A:00000003abc* ]] || fail "SignData answered $signed"
printf 'abc' > "$pki/abc.txt"
xxd -r -p <<<"${signed:21}" > "$pki/abc.sig"
openssl dgst -md5 -verify "$pki/pub.pem" -signature "$pki/abc.sig" "$pki/abc.txt" >/dev/null ||
  fail "openssl does not verify the installed velmor's signature"
echo "signature verified by openssl"

if [[ -x /usr/lib/chromium/chromium && -f tests/web/browser.test.mjs ]]; then
  echo "== the browser test against the installed files"
  modules="$work/node"
  tests/web/setup.sh "$modules" >/dev/null
  VELMOR_INSTALLED=1 VELMOR=/usr/bin/velmor VELMOR_WEB_MODULES="$modules" VELMOR_WEB_OUT="$work" \
    node tests/web/browser.test.mjs
  # A bank's managed machine: the policy in /etc/chromium/policies (written and removed by the
  # test, which needs root) lets in and pre-approves only the bank's origin.
  if [[ $(id -u) -eq 0 ]]; then
    echo "== the bank's policy in /etc/chromium/policies, on the installed files"
    VELMOR_POLICY_TEST=1 VELMOR_INSTALLED=1 VELMOR=/usr/bin/velmor VELMOR_WEB_MODULES="$modules" \
      node tests/web/chromium-policy.test.mjs
    # No --load-extension: chromium installs velmor.crx, firefox-esr velmor.xpi by policy.
    echo "== the packaged extension in chromium and firefox-esr"
    VELMOR_POLICY_TEST=1 VELMOR_INSTALLED=1 VELMOR=/usr/bin/velmor VELMOR_WEB_MODULES="$modules" \
      node tests/web/packaged-extension.test.mjs
  fi
fi

echo "== purge"
$sudo apt-get purge -y -qq velmor >/dev/null
left=0
while read -r path; do
  if [[ -f "$path" || -L "$path" ]]; then echo "left behind: $path" >&2; left=1; fi
done < "$work/files"
for d in /usr/lib/velmor /usr/share/velmor /usr/share/doc/velmor; do
  if [[ -e "$d" ]]; then echo "left behind: $d" >&2; left=1; fi
done
((left == 0)) || fail "the package left files behind"
[[ -f "$HOME/.local/share/velmor/store.db" ]] || fail "purging the package removed the user's store"
echo "package-check: installed, used, purged; nothing of the package is left, the user's store stays"
