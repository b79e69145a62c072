#!/usr/bin/env bash
# Installs the browser tests' npm packages (package.json, package-lock.json beside this script)
# into DIR/node_modules with `npm ci`, unless DIR already holds that very lock file's install.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: setup.sh DIR}
mkdir -p "$dir"
if [[ -f "$dir/node_modules/.package-lock.json" ]] && cmp -s "$here/package-lock.json" "$dir/package-lock.json"; then
  echo "web tests: npm packages are installed in $dir"
  exit 0
fi
cp "$here/package.json" "$here/package-lock.json" "$dir/"
cd "$dir"
npm ci --no-audit --no-fund --loglevel=error
