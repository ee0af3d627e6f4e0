#!/usr/bin/env bash
# Installs everything the project needs to build, run its demo and run its tests.
# Idempotent: packages already present are not touched, so a second run is quick.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config git python3 time
  libasio-dev libhiredis-dev libsimdjson-dev
  libcurl4-openssl-dev libzstd-dev libsnappy-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev
  redis-server curl python3-redis
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ! command -v node >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The Debian package starts a system redis-server on port 6379; the tests and the demo start
# their own servers on free ports, so the system one is left as the package set it up.

# Test-only Parquet readers, pinned by tests/readers/package-lock.json.
if [ ! -d tests/readers/node_modules ] ||
   [ tests/readers/package-lock.json -nt tests/readers/node_modules/.package-lock.json ]; then
  echo "install-deps: installing the Node.js Parquet readers" >&2
  (cd tests/readers && npm ci --no-audit --no-fund --loglevel=error)
fi
