#!/usr/bin/env bash
# Runs the benchmarks beside their baselines, in one run, so that the figures are ratios.
#   bench/run.sh [ingest|e2e|cluster|s3|memory|parquet|all]
# bench/gen_steps writes the payloads (bench/data) once, and the wide ones of 1000, 5000 and
# 20000 sensors (one episode each, which the runs cycle through). The Python baselines run
# beside ours when the shared benchmark folder is there (HISTORIAN_SHARED, default ../shared),
# and are left out with a note when it is not.
# cluster (also part of e2e and all): the historian against a Redis Cluster of three masters
# beside the same historian against one redis-server (the target: at least 0.9 of it), and
# against three masters with one replica each beside one redis-server with one replica (the
# replicas share this machine's cores, so they are compared with a replicated server),
# alternated in one run; HISTORIAN_CLUSTER_RUNS runs of each (default 3).
# s3 (also part of all): against an S3 server of its own on loopback (Swift's s3api), the upload
# of a 1 GiB file by our client beside curl --aws-sigv4 (target: at least 0.8 of its MB/s), and
# the durable mode with --output-url beside the durable mode on local disk (target: at least
# 0.7 of its entries/s), alternated in one run; HISTORIAN_S3_RUNS runs of each (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
shared=${HISTORIAN_SHARED:-$(cd .. && pwd)/shared}
build=build/bench
./scripts/install-deps.sh --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHISTORIAN_BUILD_TESTS=OFF \
  -DHISTORIAN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build"
data=bench/data
if [ ! -f "$data/steps.jsonl" ] || [ ! -f "$data/steps_ts.jsonl" ] ||
   [ ! -f "$data/steps_nan.jsonl" ]; then
  "$build/bench/gen_steps" --data "$data" --n 200000 --nan-steps 20000
fi
if [ ! -f "$data/steps_w1000.jsonl" ] || [ ! -f "$data/steps_w5000.jsonl" ] ||
   [ ! -f "$data/steps_w20000.jsonl" ]; then
  "$build/bench/gen_steps" --data "$data" --wide 1000,5000,20000
fi
tmp=$(mktemp -d)
# Stops the servers this run started (each by the pid it wrote), then removes their files.
cleanup() {
  local pidfile pid
  for pidfile in "$tmp"/redis.pid "$tmp"/*/redis.pid; do
    if [ -f "$pidfile" ]; then
      pid=$(cat "$pidfile")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
# free_port: prints a free loopback port.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
# start_redis: a throwaway redis-server on a free loopback port ($port), once per run.
start_redis() {
  if [ -n "${port:-}" ]; then return; fi
  port=$(free_port)
  redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --dir "$tmp" \
    --daemonize yes --pidfile "$tmp/redis.pid" --logfile "$tmp/redis.log"
  for _ in $(seq 50); do redis-cli -p "$port" ping >/dev/null 2>&1 && break; sleep 0.1; done
}
# start_cluster VAR REPLICAS: a throwaway Redis Cluster, once per run: three masters with
# REPLICAS replicas each, redis-servers on free loopback ports whose cluster bus ports
# (port + 10000) are free too; $VAR is set to a URL that names them all as seeds.
start_cluster() {
  local -n url_var=$1
  local replicas=$2
  if [ -n "${url_var:-}" ]; then return; fi
  local ports p seeds=() ok
  ports=$(python3 - $((3 * (replicas + 1))) <<<'
import random, socket, sys
def free(p):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", p))
            return True
        except OSError:
            return False
taken = set()
ports = []
while len(ports) < int(sys.argv[1]):
    p = random.randint(20000, 55000)
    if {p, p + 10000} & taken or not (free(p) and free(p + 10000)):
        continue
    taken |= {p, p + 10000}
    ports.append(p)
print(" ".join(map(str, ports)))')
  for p in $ports; do
    mkdir "$tmp/cluster-$p"
    redis-server --port "$p" --bind 127.0.0.1 --cluster-enabled yes --cluster-node-timeout 2000 \
      --save "" --appendonly no --dir "$tmp/cluster-$p" --daemonize yes \
      --pidfile "$tmp/cluster-$p/redis.pid" --logfile "$tmp/cluster-$p/redis.log"
    seeds+=("127.0.0.1:$p")
  done
  for p in $ports; do
    for _ in $(seq 50); do redis-cli -p "$p" ping >/dev/null 2>&1 && break; sleep 0.1; done
  done
  redis-cli --cluster create "${seeds[@]}" --cluster-replicas "$replicas" --cluster-yes \
    >"$tmp/cluster-create.log"
  for _ in $(seq 300); do
    ok=true
    for p in $ports; do
      grep -q '^cluster_state:ok' <<<"$(redis-cli -p "$p" cluster info)" || ok=false
    done
    if $ok; then break; fi
    sleep 0.1
  done
  if ! $ok; then
    echo "the Redis Cluster did not reach cluster_state:ok in 30 s" >&2
    cat "$tmp/cluster-create.log" >&2
    exit 1
  fi
  url_var=redis+cluster://$(IFS=,; echo "${seeds[*]}")
}
# start_replicated: a throwaway redis-server with one replica, once per run ($replicated_port is
# the master's).
start_replicated() {
  if [ -n "${replicated_port:-}" ]; then return; fi
  local p role of=()
  for role in master replica; do
    p=$(free_port)
    mkdir "$tmp/replicated-$role"
    redis-server --port "$p" --bind 127.0.0.1 --save "" --appendonly no \
      --dir "$tmp/replicated-$role" --daemonize yes --pidfile "$tmp/replicated-$role/redis.pid" \
      --logfile "$tmp/replicated-$role/redis.log" "${of[@]}"
    for _ in $(seq 50); do redis-cli -p "$p" ping >/dev/null 2>&1 && break; sleep 0.1; done
    if [ "$role" = master ]; then
      replicated_port=$p
      of=(--replicaof 127.0.0.1 "$p")
    fi
  done
  for _ in $(seq 100); do
    grep -q '^master_link_status:up' <<<"$(redis-cli -p "$p" info replication)" && return
    sleep 0.1
  done
  echo "the replica of 127.0.0.1:$replicated_port did not connect in 10 s" >&2
  exit 1
}
# baseline PYTHON SCRIPT ARGS...: runs a Python baseline of the shared folder, if it is there.
# One that stops short (py_redis_consume.py gives up after 120 s) notes it, and the run goes on.
baseline() {
  local python=$1 script=$2 status=0
  shift 2
  if [ -f "$shared/bench/$script" ]; then
    "$python" "$shared/bench/$script" "$@" || status=$?
    if [ "$status" != 0 ]; then echo "(Python baseline $script exited with status $status)"; fi
  else
    echo "(Python baseline $script left out: $shared/bench is not there)"
  fi
}

if [ "$what" = ingest ] || [ "$what" = all ]; then
  echo "== process_message throughput, memory per buffered row, flush and compaction"
  baseline python3 py_rowbuild.py --data "$data" --n 200000
  "$build/bench/ingest_bench" --data "$data" --n 200000 --repeat 5 --memory-rows 1000000 --flush |
    tee "$tmp/ingest.txt"
  # Wide steps: the same intake in MB/s of JSON text, beside the 64-sensor figure above.
  "$build/bench/ingest_bench" --data "$data" --file steps_w5000.jsonl --n 2000 --repeat 5 \
    --ingest-only | tee -a "$tmp/ingest.txt"
  "$build/bench/ingest_bench" --data "$data" --file steps_nan.jsonl --n 20000 --repeat 5
  "$build/bench/ingest_bench" --data "$data" --n 200000 --raw-json --memory-rows 1000000
  python3 - "$tmp/ingest.txt" <<'PY'
import re, sys
rates = {}
for line in open(sys.argv[1]):
    m = re.match(r"ingest file=(\S+) .*median_mb_per_s=([0-9.]+)", line)
    if m:
        rates[m.group(1)] = float(m.group(2))
if "steps.jsonl" in rates and "steps_w5000.jsonl" in rates:
    print("ratio (load average %s):" % open("/proc/loadavg").read().split()[0])
    print("  %-44s %6.2f   (target >= 0.5)" % ("5000-sensor MB/s / 64-sensor MB/s",
          rates["steps_w5000.jsonl"] / rates["steps.jsonl"]))
PY
fi

if [ "$what" = e2e ] || [ "$what" = all ]; then
  echo "== end to end through redis-server"
  start_redis
  "$build/bench/e2e_bench" --port "$port" --data "$data" --stream steps --load-only
  baseline /usr/bin/python3 py_redis_consume.py "$port" --work --n 200000
  # The same stream and group for both bare consumers (each recreates its group at 0). Two
  # rounds, as the machine is shared: compare the figures of one round.
  for round in 1 2; do
    echo "-- round $round (load average: $(cut -d" " -f1-3 /proc/loadavg))"
    {
    "$build/bench/redis_baseline" "$port" --mode sequential --n 200000
    "$build/bench/redis_baseline" "$port" --mode pipelined --n 200000
    # The same, polling its socket instead of sleeping (as the historian does during a backlog).
    "$build/bench/redis_baseline" "$port" --mode pipelined --n 200000 --poll
    # Reads of 1000 entries, each read acknowledged by one XACK sent with the next read (one
    # round trip per read, the ceiling for this pattern), then the historian with
    # --read-count 1000 beside its default.
    "$build/bench/redis_baseline" "$port" --mode batched --count 1000 --n 200000
    "$build/bench/e2e_bench" --port "$port" --data "$data" --program \
      "$build/tools/historian_host/event-historian" --n 200000
    "$build/bench/e2e_bench" --port "$port" --data "$data" --program \
      "$build/tools/historian_host/event-historian" --n 200000 --arg --read-count --arg 1000
    # The same with the metrics endpoint on and scraped every second, as a Prometheus server
    # would; the ratio of the two rates is its cost.
    mport=$(free_port)
    python3 -c '
import sys, time, urllib.request
url = "http://127.0.0.1:%s/metrics" % sys.argv[1]
while True:
    time.sleep(1)
    try:
        urllib.request.urlopen(url, timeout=5).read()
    except OSError:
        pass
' "$mport" &
    scraper=$!
    "$build/bench/e2e_bench" --port "$port" --data "$data" --program \
      "$build/tools/historian_host/event-historian" --n 200000 --arg --metrics-address \
      --arg "127.0.0.1:$mport"
    kill "$scraper"
    # Durable: every entry acknowledged only once on disk; a checkpoint at least every second,
    # as the stream carries no training results.
    "$build/bench/e2e_bench" --port "$port" --data "$data" --program \
      "$build/tools/historian_host/event-historian" --n 200000 --arg --durable \
      --arg --flush-interval --arg 1
    } | tee "$tmp/round.txt"
    # Every ratio of the round, from the lines above.
    python3 - "$tmp/round.txt" <<'PY'
import re, sys
rates = {}
for line in open(sys.argv[1]):
    m = re.search(r"entries_per_s=([0-9.]+)", line)
    if not m:
        continue
    if line.startswith("redis_baseline"):
        key = re.search(r"mode=(\w+)", line).group(1) + (" poll" if "poll=1" in line else "")
    elif "--read-count" in line:
        key = "read-count"
    elif "--metrics-address" in line:
        key = "metrics"
    elif "--durable" in line:
        key = "durable"
    else:
        key = "default"
    rates[key] = float(m.group(1))
def ratio(what, a, b, target):
    if a in rates and b in rates:
        print("  %-44s %6.2f   (target %s)" % (what, rates[a] / rates[b], target))
print("ratios (load average %s):" % open("/proc/loadavg").read().split()[0])
ratio("default / bare pipelined", "default", "pipelined", ">= 0.8")
ratio("default / bare sequential", "default", "sequential", ">= 3")
ratio("--read-count 1000 / bare batched", "read-count", "batched", ">= 0.6")
ratio("metrics scraped / default", "metrics", "default", ">= 0.97")
ratio("durable / default", "durable", "default", ">= 0.8")
PY
  done
  if [ "$what" = all ]; then
    # Memory: 2,000,000 buffered steps (no training result) with the default bounds and
    # without them (bounds above the run). The stream alone takes about 7 GB in Redis.
    for bounds in "1000000 1GiB" "100000000 1TiB"; do
      read -r rows bytes <<<"$bounds"
      "$build/bench/e2e_bench" --port "$port" --data "$data" --stream steps.big --program \
        "$build/tools/historian_host/event-historian" --n 2000000 --arg --max-buffered-rows \
        --arg "$rows" --arg --max-buffered-bytes --arg "$bytes"
    done
    # One cycle of 5,000,000 steps with the default bound, fed while it is read (Redis would
    # need about 17 GB to hold it all): the buffer is drained early at each million rows.
    "$build/bench/e2e_bench" --port "$port" --data "$data" --stream steps.feed --feed \
      --program "$build/tools/historian_host/event-historian" --n 5000000
  fi
  "$build/bench/e2e_bench" --port "$port" --program \
    "$build/tools/historian_host/event-historian" --idle-seconds 30
fi

if [ "$what" = e2e ] || [ "$what" = cluster ] || [ "$what" = all ]; then
  echo "== end to end through a Redis Cluster beside one redis-server"
  start_redis
  start_replicated
  start_cluster masters_url 0
  start_cluster cluster_url 1
  # Both streams of one hash tag, so that they share a master and one XREADGROUP reads them, as
  # on one server. The runs alternate, as the machine is shared; the medians are compared.
  : >"$tmp/cluster.txt"
  for run in $(seq "${HISTORIAN_CLUSTER_RUNS:-3}"); do
    echo "-- run $run (load average: $(cut -d" " -f1-3 /proc/loadavg))"
    for where in single masters replicated cluster; do
      case $where in
      single) url=redis://127.0.0.1:$port ;;
      masters) url=$masters_url ;;
      replicated) url=redis://127.0.0.1:$replicated_port ;;
      cluster) url=$cluster_url ;;
      esac
      "$build/bench/e2e_bench" --redis-url "$url" --data "$data" --stream '{bench}:steps' \
        --results-stream '{bench}:results' --program \
        "$build/tools/historian_host/event-historian" --n 200000 | sed "s/^/$where: /" |
        tee -a "$tmp/cluster.txt"
    done
  done
  python3 - "$tmp/cluster.txt" <<'PY'
import re, statistics, sys
names = {"single": "one redis-server", "masters": "Redis Cluster, 3 masters",
         "replicated": "one redis-server + 1 replica",
         "cluster": "Redis Cluster, 3 masters + 3 replicas"}
rates = {where: [] for where in names}
for line in open(sys.argv[1]):
    m = re.match(r"(\w+): .*entries_per_s=([0-9.]+)", line)
    if m and m.group(1) in rates:
        rates[m.group(1)].append(float(m.group(2)))
print("entries/s, median of the runs (load average %s):" %
      open("/proc/loadavg").read().split()[0])
median = {}
for where, name in names.items():
    if rates[where]:
        median[where] = statistics.median(rates[where])
        print("  %-44s %8.0f   (runs: %s)" % (name, median[where],
              ", ".join("%.0f" % r for r in rates[where])))
def ratio(what, a, b, target=None):
    if a not in median or b not in median:
        print("  %-44s no figures: %s" % (what, "FAIL" if target else "-"))
        return
    r = median[a] / median[b]
    if target is None:
        print("  %-44s %6.2f" % (what, r))
    else:
        print("  %-44s %6.2f   (target >= %s): %s" % (what, r, target,
              "PASS" if r >= target else "FAIL"))
ratio("cluster of 3 masters / single", "masters", "single", 0.9)
# With replicas: their work shares the machine's cores with the historian.
ratio("cluster with replicas / single with a replica", "cluster", "replicated")
ratio("single with a replica / single", "replicated", "single")
PY
  # The round's streams go, so that later rounds do not share the servers with them.
  redis-cli -p "$port" del '{bench}:steps' '{bench}:results' >/dev/null
  redis-cli -p "$replicated_port" del '{bench}:steps' '{bench}:results' >/dev/null
  redis-cli -c -p "${cluster_url##*,127.0.0.1:}" del '{bench}:steps' '{bench}:results' >/dev/null
  redis-cli -c -p "${masters_url##*,127.0.0.1:}" del '{bench}:steps' '{bench}:results' >/dev/null
fi

if [ "$what" = s3 ] || [ "$what" = all ]; then
  echo "== output on object storage"
  runs=${HISTORIAN_S3_RUNS:-3}
  "$build/bench/s3_bench" upload --mb 1024 --runs "$runs" --dir "$tmp"
  start_redis
  # A server for the end-to-end rounds, alive while its standard input is open.
  mkfifo "$tmp/s3.in"
  "$build/bench/s3_bench" serve <"$tmp/s3.in" >"$tmp/s3.env" &
  s3_server=$!
  exec 9>"$tmp/s3.in"
  for _ in $(seq 600); do grep -q '^bucket ' "$tmp/s3.env" && break; sleep 0.1; done
  # shellcheck disable=SC1090
  source <(grep '^export ' "$tmp/s3.env")
  bucket=$(sed -n 's/^bucket //p' "$tmp/s3.env")
  : >"$tmp/s3.txt"
  for run in $(seq "$runs"); do
    echo "-- run $run (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
    for where in local bucket; do
      extra=()
      [ "$where" = bucket ] && extra=(--arg --output-url --arg "s3://$bucket/bench-$run")
      printf '%s: ' "$where" | tee -a "$tmp/s3.txt"
      "$build/bench/e2e_bench" --port "$port" --data "$data" --program \
        "$build/tools/historian_host/event-historian" --n 200000 --arg --durable \
        --arg --flush-interval --arg 1 "${extra[@]}" | tee -a "$tmp/s3.txt"
    done
  done
  exec 9>&-
  wait "$s3_server" || true
  python3 - "$tmp/s3.txt" <<'PY'
import re, statistics, sys
rates = {"local": [], "bucket": []}
for line in open(sys.argv[1]):
    m = re.match(r"(\w+): .*entries_per_s=([0-9.]+)", line)
    if m:
        rates[m.group(1)].append(float(m.group(2)))
local, bucket = statistics.median(rates["local"]), statistics.median(rates["bucket"])
print("durable entries/s, median of the runs: local disk %.0f %s, --output-url %.0f %s"
      % (local, rates["local"], bucket, rates["bucket"]))
print("  --output-url / local disk  %.2f   (target >= 0.7): %s"
      % (bucket / local, "PASS" if bucket / local >= 0.7 else "FAIL"))
PY
fi
if [ "$what" = memory ] || [ "$what" = all ]; then
  echo "== memory bounded in bytes: wide steps fed through redis-server"
  start_redis
  # --max-buffered-bytes 256MiB; a flush cuts its row groups at about 128 MiB of values, and the
  # program itself (code, Redis replies, parser, Parquet footers) is allowed 100 MiB beside them.
  bound=256 row_group=128 fixed=100
  allowance=$((bound + row_group + fixed))
  echo "allowance: peak_rss_mb <= $allowance MiB (bound $bound + row group $row_group + fixed $fixed)"
  # mem_run SENSORS FILE N [ARG...]: one fed run of N steps of FILE, then its comparison line.
  mem_run() {
    local sensors=$1 file=$2 n=$3 status=0
    shift 3
    "$build/bench/e2e_bench" --port "$port" --data "$data" --file "$file" --stream mem.steps \
      --feed --program "$build/tools/historian_host/event-historian" --n "$n" \
      --arg --max-buffered-bytes --arg "${bound}MiB" "$@" >"$tmp/mem.txt" || status=$?
    cat "$tmp/mem.txt"
    python3 - "$tmp/mem.txt" "$sensors" "$n" "$allowance" "$status" "$*" <<'PY'
import re, sys
path, sensors, n, allowance, status, extra = sys.argv[1:]
what = "sensors=%s n=%s%s" % (sensors, n, " " + extra.replace("--arg ", "") if extra else "")
fields = dict(re.findall(r"(\w+)=(\S+)", open(path).read()))
if status != "0" or "peak_rss_mb" not in fields:
    print("  %s: no figures (e2e_bench status %s): FAIL" % (what, status))
    sys.exit()
peak, rows = float(fields["peak_rss_mb"]), int(fields["rows_written"])
print("  %s: peak_rss_mb=%.1f %s %s: %s; rows_written=%d %s n: %s; exit=%s" % (
    what, peak, "<=" if peak <= int(allowance) else ">", allowance,
    "PASS" if peak <= int(allowance) else "FAIL", rows, "=" if rows == int(n) else "!=",
    "PASS" if rows == int(n) else "FAIL", fields["exit"]))
PY
  }
  # About twice the bound buffered (no training result drains it): a row holds 8 bytes per
  # sensor and action value and about 300 bytes of fixed values. 64 sensors: steps.jsonl.
  for sensors in 64 1000 5000 20000; do
    file=steps_w$sensors.jsonl
    if [ "$sensors" = 64 ]; then file=steps.jsonl; fi
    mem_run "$sensors" "$file" $((2 * bound * 1048576 / (8 * (sensors + 8) + 300)))
  done
  mem_run 5000 steps_w5000.jsonl $((2 * bound * 1048576 / (8 * (5000 + 8) + 300))) \
    --arg --durable --arg --flush-interval --arg 1
fi

if [ "$what" = parquet ] || [ "$what" = all ]; then
  if [ -x bench/parquet_bench.sh ]; then bench/parquet_bench.sh "$build"; fi
fi
