#!/usr/bin/env bash
# rpm-check: the RPM as far as a Debian machine can try it. rpm installs it into a scratch root
# of its own (--root, its own database there; --nodeps, since no Fedora libraries are installed
# there, and --noscripts, since the root has no shell), the files and their %config flags are
# checked against what the package must carry, then rpm erases it and nothing may be left.
set -euo pipefail
cd "$(dirname "$0")/.."
pkg=$(ls build-rpm/velmor-*.x86_64.rpm | tail -1)
root=$(mktemp -d /tmp/velmor-rpm-check.XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "rpm-check: $*" >&2; exit 1; }
id=nfmifenlhpaglgpgnjmepjnnmcllmfpj
# rpm in the scratch root, with its database there (Debian's rpm would keep it in ~/.rpmdb).
rpmr() { rpm --root "$root" --dbpath /var/lib/rpm "$@" 2> >(grep -v "use Alien\|know what you are doing" >&2); }

echo "== $pkg"
rpm -qp --requires "$pkg" | grep -v '^rpmlib(' | sed 's/^/requires: /'
for lib in 'libcrypto.so.3' 'libsqlite3.so.0' 'libcairo.so.2' 'libsecret-1.so.0' 'libp11-kit.so.0'; do
  rpm -qp --requires "$pkg" | grep -q "^$lib" || fail "rpm's dependency generator found no $lib"
done
files=$(rpm -qpl "$pkg")
for f in /usr/bin/velmor /usr/bin/velmor-host /usr/lib/velmor/velmorQVA.so \
         /usr/lib64/mozilla/native-messaging-hosts/org.velmor.host.json \
         /etc/chromium/native-messaging-hosts/org.velmor.host.json \
         /etc/opt/chrome/native-messaging-hosts/org.velmor.host.json \
         /etc/opt/edge/native-messaging-hosts/org.velmor.host.json \
         /usr/share/chromium/extensions/$id.json /usr/share/google-chrome/extensions/$id.json \
         /usr/share/velmor/velmor.crx /usr/share/velmor/velmor.xpi /usr/share/velmor/firefox/policies.json \
         /usr/share/locale/zh_CN/LC_MESSAGES/velmor.mo; do
  grep -qx "$f" <<<"$files" || fail "the package lacks $f"
done
! grep -q '^/usr/lib/mozilla\|lintian' <<<"$files" || fail "Debian's folders in the RPM"

echo "== rpm --install --root $root"
rpmr --initdb
rpmr --install --nodeps --noscripts "$pkg"
[[ $(rpmr -qc velmor | sort) == "$(grep '^/etc/' <<<"$files" | grep '\.json$' | sort)" ]] ||
  fail "the /etc manifests are not all %config: $(rpmr -qc velmor)"
jq -e '.path == "/usr/bin/velmor-host" and .allowed_extensions == ["extension@velmor"]' \
  "$root/usr/lib64/mozilla/native-messaging-hosts/org.velmor.host.json" >/dev/null || fail "Firefox's manifest"
jq -e ".external_crx == \"/usr/share/velmor/velmor.crx\"" "$root/usr/share/chromium/extensions/$id.json" >/dev/null ||
  fail "chromium's external extension"
"$root/usr/bin/velmor" --help >/dev/null || fail "the installed velmor does not run"
rpmr --verify --nodeps velmor || fail "rpm --verify"

echo "== rpm --erase"
rpmr --erase --nodeps --noscripts velmor
left=$(find "$root" -type f -not -path "$root/var/lib/rpm*" -not -path "$root/usr/lib/sysimage/*" | head)
[[ -z $left ]] || fail "left behind: $left"
echo "rpm-check: installed into a scratch root, checked, erased; nothing is left"
