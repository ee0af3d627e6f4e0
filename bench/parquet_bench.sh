#!/usr/bin/env bash
# The Parquet benchmarks (called by bench/run.sh parquet): write speed beside DuckDB, merge
# speed beside cp, merge memory.   bench/parquet_bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
echo "== Parquet write, 1,000,000 rows of the step dataset's shape, beside DuckDB"
"$build/bench/parquet_write_bench" --rows 1000000 --repeat 3
bench/parquet_merge_bench.sh "$build"
