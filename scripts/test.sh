#!/usr/bin/env bash
# Installs what is missing, builds the test configuration (with AddressSanitizer and
# UndefinedBehaviorSanitizer, and every warning an error) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --tests
build=${HISTORIAN_TEST_BUILD_DIR:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHISTORIAN_SANITIZE=ON \
  -DHISTORIAN_BUILD_TESTS=ON -DHISTORIAN_WERROR=ON >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 900
