#!/usr/bin/env bash
# Installs the Debian packages (and the test readers' npm packages) the project needs:
#   scripts/install-deps.sh [--demo|--tests|--bench|--lint] [--print-packages]
#   --demo    build the program and run its demo
#   --tests   --demo's packages plus those of the test suite (the default)
#   --bench   --tests' packages plus those of bench/run.sh
#   --lint    --tests' packages plus clang-format and clang-tidy (scripts/lint.sh)
#   --print-packages  print the mode's Debian packages, one a line, and install nothing
# This file is the one list of the project's packages: tests/packaging/header_packages.py
# reads it through --print-packages. Idempotent: packages already present are not touched,
# so a second run is quick.
set -euo pipefail
cd "$(dirname "$0")/.."

# The compiler, the build tools and every library the program links; help2man for the man
# page made from --help; file, which cpack's dpkg-shlibdeps step needs to find the program
# (dpkg-dev comes with build-essential); redis-server for the demo's throwaway server.
demo_packages=(
  build-essential cmake ninja-build pkg-config file
  libasio-dev libhiredis-dev libsimdjson-dev libcurl4-openssl-dev libzstd-dev libsnappy-dev libxxhash-dev
  libcli11-dev libcpp-httplib-dev libsystemd-dev
  # httplib.h includes their headers: the packaged library is built with TLS and compression.
  libssl-dev zlib1g-dev libbrotli-dev
  help2man
  redis-server
)
# GoogleTest, RapidJSON (the readers' support code), python3 (the JSON tests' oracle and
# the header-to-package test), Node.js and npm (the Parquet readers under tests/readers),
# openssl (the command that makes the TLS tests' certificates), redis-tools (redis-cli, which
# makes and reshards the cluster of the cluster tests), and OpenStack Swift with its S3 layer
# (s3api) for the S3 tests' server on loopback (tests/support/s3_rig.h): its four servers and
# the Python library whose ring builder makes the rings. Swift's recommends (Keystone,
# Barbican, the drive auditor) serve a production cluster; the install below skips them.
# curl signs the rig's own requests (SigV4): its readiness check and the tests' view of a
# bucket that does not go through our client.
test_packages=(libgtest-dev libgmock-dev rapidjson-dev python3 nodejs npm openssl redis-tools
  swift swift-proxy swift-object swift-container swift-account python3-swift curl)
# The Python end-to-end baseline, redis-cli and /usr/bin/time of bench/run.sh.
bench_packages=(python3-redis redis-tools time)
# The formatter, the static checks and git (the list of files) of scripts/lint.sh.
lint_packages=(clang-format clang-tidy git)

mode=tests
print=false
for arg in "$@"; do
  case $arg in
  --demo | --tests | --bench | --lint) mode=${arg#--} ;;
  --print-packages) print=true ;;
  *)
    echo "usage: $0 [--demo|--tests|--bench|--lint] [--print-packages]" >&2
    exit 2
    ;;
  esac
done

packages=("${demo_packages[@]}")
if [ "$mode" != demo ]; then packages+=("${test_packages[@]}"); fi
if [ "$mode" = bench ]; then packages+=("${bench_packages[@]}"); fi
if [ "$mode" = lint ]; then packages+=("${lint_packages[@]}"); fi

if $print; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

# A node and an npm already on the PATH (Debian's or another) are used as they are.
wanted=()
for p in "${packages[@]}"; do
  case $p in
  nodejs) command -v node >/dev/null 2>&1 || wanted+=("$p") ;;
  npm) command -v npm >/dev/null 2>&1 || wanted+=("$p") ;;
  *) wanted+=("$p") ;;
  esac
done

# One dpkg-query for all of them; a package it does not know is missing too.
installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${wanted[@]}" 2>/dev/null |
  awk '$2 == "ii" { print $1 }' || true)
missing=()
for p in "${wanted[@]}"; do
  if ! grep -qx "$p" <<<"$installed"; then missing+=("$p"); fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The Debian package starts a system redis-server on port 6379; the tests and the demo start
# their own servers on free ports, so the system one is left as the package set it up.

# Test-only Parquet readers, pinned by tests/readers/package-lock.json.
if [ "$mode" != demo ] && { [ ! -d tests/readers/node_modules ] ||
  [ tests/readers/package-lock.json -nt tests/readers/node_modules/.package-lock.json ]; }; then
  echo "install-deps: installing the Node.js Parquet readers" >&2
  (cd tests/readers && npm ci --no-audit --no-fund --loglevel=error)
fi
