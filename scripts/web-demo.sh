#!/usr/bin/env bash
# The demonstration page in a browser, by hand: `make web-demo`.
#   1. scripts/demo.sh makes Alice's certificate and key, registers the module and imports them
#      into a store of its own (build/demo/data);
#   2. the native host's manifest goes into a Chromium profile of its own (build/web-demo/profile);
#   3. web/demo is served on http://127.0.0.1:PORT (8080);
#   4. Chromium starts on that profile with the extension loaded unpacked and opens its options
#      page beside the demonstration page: the extension allows no origin until its user (or a
#      bank's policy) does, so type http://127.0.0.1:PORT there and reload the page (without a
#      display, the script prints what to open instead and keeps serving).
# Nothing touches the user's own browser profile, certificates or keys. Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
port=${PORT:-8080}
velmor=${VELMOR:-build/bin/velmor}
scripts/demo.sh > build/web-demo.log 2>&1 || { cat build/web-demo.log; exit 1; }
export XDG_DATA_HOME="$PWD/build/demo/data" XDG_STATE_HOME="$PWD/build/demo/state"
profile="$PWD/build/web-demo/profile"
rm -rf "$profile"
mkdir -p "$profile"
"$velmor" install-browser-host --user-data-dir "$profile"
issuer=$("$velmor" certs list --store Root | grep -o '^[0-9a-f]*' | head -n1)
url="http://127.0.0.1:$port/demo/?issuer=$issuer"
node web/demo/serve.mjs "$port" 127.0.0.1 &
server=$!
trap 'kill "$server" 2>/dev/null' EXIT
browser=/usr/lib/chromium/chromium
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x "$browser" ]]; then
  echo "Allow http://127.0.0.1:$port in the extension's options page, then reload the demonstration page."
  "$browser" --user-data-dir="$profile" --no-first-run --load-extension="$PWD/web/extension" \
    --disable-extensions-except="$PWD/web/extension" \
    "chrome-extension://nfmifenlhpaglgpgnjmepjnnmcllmfpj/options.html" "$url"
else
  echo "Open $url in a Chromium started with"
  echo "  XDG_DATA_HOME=$XDG_DATA_HOME $browser --user-data-dir=$profile --load-extension=$PWD/web/extension"
  echo "after allowing http://127.0.0.1:$port in the extension's options page"
  echo "  (chrome-extension://nfmifenlhpaglgpgnjmepjnnmcllmfpj/options.html)."
  wait "$server"
fi
