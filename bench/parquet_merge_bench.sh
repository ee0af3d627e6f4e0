#!/usr/bin/env bash
# Merge speed of the Parquet merge beside cp and cat of the same bytes, in the same run, and
# the peak memory (/usr/bin/time -v) of merges into a 2 GB file.
#   bench/parquet_merge_bench.sh [BUILD_DIR]
# BUILD_DIR is a Release build with -DHISTORIAN_BUILD_BENCHMARKS=ON (default build/bench).
# Every timing is the best of three runs on files in the page cache; the merge includes its
# fsync, cp and cat are shown without and with one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
tool="$build/bench/parquet_merge_bench"
data=bench/data/parquet_merge
rm -rf "$data"
mkdir -p "$data"
trap 'rm -rf "$data"' EXIT

best_of_3() {  # prints the best wall time in seconds of the command, run three times
  local best=""
  for _ in 1 2 3; do
    rm -rf "$data/out" && mkdir -p "$data/out"
    local start end t
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

# 1,000 part files of one 500-step cycle each, merged with the defaults: coalesced into row
# groups of up to 128 MiB decoded or 1,000,000 rows.
"$tool" generate "$data/cycles" 1000 500
cycles=("$data"/cycles/part-*.parquet)
bytes_cycles=$(cat "${cycles[@]}" | wc -c)
echo "== merge of 1,000 part files of 500 rows ($((bytes_cycles / 1000000)) MB), page cache warm"
t_cp=$(best_of_3 cp "${cycles[@]}" "$data/out/")
t_merge=$(best_of_3 "$tool" merge - "$data/out/merged.parquet" "${cycles[@]}")
awk -v n="$bytes_cycles" -v t="$t_cp" 'BEGIN { printf "%-44s %8.3f s %6.0f MB/s\n", "cp of the 1,000 files", t, n / 1e6 / t }'
awk -v n="$bytes_cycles" -v t="$t_merge" -v c="$t_cp" 'BEGIN { printf "%-44s %8.3f s %6.0f MB/s  (%.2fx cp)\n", "merge, coalesced (incl. fsync)", t, n / 1e6 / t, c / t }'
rm -rf "$data/out" && mkdir -p "$data/out"
/usr/bin/time -v "$tool" merge - "$data/out/merged.parquet" "${cycles[@]}" 2> "$data/time.txt"
echo "peak RSS $(($(awk -F': ' '/Maximum resident set size/ {print $2}' "$data/time.txt") / 1024)) MB"
rm -rf "$data/cycles" "$data/out"

# 340 part files of 10,000 rows each (82 columns, snappy): the first 100 for the speed
# figures, all 340 for the 2 GB output.
"$tool" generate "$data/parts" 340 10000
parts100=()
for i in $(seq -f %05g 0 99); do parts100+=("$data/parts/part-$i.parquet"); done
all=("$data"/parts/part-*.parquet)
bytes100=$(cat "${parts100[@]}" | wc -c)

rate() { awk -v n="$bytes100" -v t="$1" 'BEGIN { printf "%.0f", n / 1e6 / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "== merge of 100 part files of 10,000 rows ($((bytes100 / 1000000)) MB), page cache warm"
cat "${parts100[@]}" >/dev/null
t_cp=$(best_of_3 cp "${parts100[@]}" "$data/out/")
t_cat=$(best_of_3 sh -c 'cat "$@" > "$0"' "$data/out/all" "${parts100[@]}")
t_cat_sync=$(best_of_3 sh -c 'cat "$@" > "$0" && sync "$0"' "$data/out/all" "${parts100[@]}")
t_copy=$(best_of_3 "$tool" merge 10000 "$data/out/merged.parquet" "${parts100[@]}")
t_coalesce=$(best_of_3 "$tool" merge - "$data/out/merged.parquet" "${parts100[@]}")
printf '%-44s %8.3f s %6s MB/s\n' "cp of the 100 files" "$t_cp" "$(rate "$t_cp")"
printf '%-44s %8.3f s %6s MB/s\n' "cat into one file" "$t_cat" "$(rate "$t_cat")"
printf '%-44s %8.3f s %6s MB/s\n' "cat into one file, then sync it" "$t_cat_sync" "$(rate "$t_cat_sync")"
printf '%-44s %8.3f s %6s MB/s  (%sx cp)\n' "merge, chunks copied (incl. fsync)" "$t_copy" \
  "$(rate "$t_copy")" "$(ratio "$t_cp" "$t_copy")"
printf '%-44s %8.3f s %6s MB/s  (%sx cp)\n' "merge, coalesced and re-encoded (snappy)" \
  "$t_coalesce" "$(rate "$t_coalesce")" "$(ratio "$t_cp" "$t_coalesce")"

echo "== peak memory of a merge of 340 part files into one 2 GB file"
rm -rf "$data/out" && mkdir -p "$data/out"
for mode in 10000:copied -:coalesced; do
  /usr/bin/time -v "$tool" merge "${mode%%:*}" "$data/out/merged.parquet" "${all[@]}" \
    2> "$data/time.txt"
  rss_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$data/time.txt")
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$data/time.txt")
  printf '%-10s output %s bytes, peak RSS %s MB, wall %s\n' "${mode##*:}" \
    "$(stat -c %s "$data/out/merged.parquet")" "$((rss_kb / 1024))" "$wall"
  rm -f "$data/out/merged.parquet"
done
