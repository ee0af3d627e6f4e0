#!/usr/bin/env bash
# Fails when a C++ file is not formatted as .clang-format says, or when clang-tidy reports
# anything of .clang-tidy's checks. Runs after scripts/test.sh, whose build directory gives
# the compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --lint
build=${HISTORIAN_TEST_BUILD_DIR:-build/test}

mapfile -t files < <(git ls-files '*.cc' '*.h')
unformatted=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ "${#unformatted[@]}" -gt 0 ]; then
  printf 'lint: not formatted (clang-format -i FILE): %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "lint: ${#files[@]} files formatted"

if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: no $build/compile_commands.json; run scripts/test.sh first" >&2
  exit 1
fi
# Debian's clang-tidy 14 recognizes C++20 coroutines in GCC's library only with these.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! run-clang-tidy -quiet -p "$build" -j "$(nproc)" \
  -extra-arg=-DASIO_HAS_CO_AWAIT=1 -extra-arg=-DASIO_HAS_STD_COROUTINE=1 \
  "$PWD/(src|tools|tests|bench)/" >"$log" 2>&1 || grep -qE '(warning|error): .*\[[a-z]' "$log"; then
  grep -E -A3 '(warning|error): .*\[[a-z]' "$log" >&2 || tail -40 "$log" >&2
  echo "lint: clang-tidy reported the above" >&2
  exit 1
fi
echo "lint: clang-tidy clean"
