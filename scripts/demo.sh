#!/usr/bin/env bash
# Installs what is missing, builds the program and runs its demo: a throwaway redis-server,
# a synthetic training run through the historian, then the files it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --demo
build=${HISTORIAN_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHISTORIAN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target event-historian
exec "$build/tools/historian_host/event-historian" demo "$@"
