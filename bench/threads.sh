#!/usr/bin/env bash
# The speed-up of more threads on the same build: runs chromaloom_bench with CHROMALOOM_THREADS=1 and with
# CHROMALOOM_THREADS=N (default 2) in alternation, ROUNDS times (default 3), and prints for each benchmark
# the best wall-clock time of each and their ratio. Alternating rounds keep a noisy machine's slow spells
# from falling on one side only.
#
#   bench/threads.sh BENCH_BINARY [BENCHMARK_FILTER]      (THREADS=4 ROUNDS=5 to change them)
set -euo pipefail
bench="$1"
filter="${2:-.}"
threads="${THREADS:-2}"
rounds="${ROUNDS:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for ((round = 1; round <= rounds; round++)); do
    for count in 1 "$threads"; do
        CHROMALOOM_THREADS="$count" "$bench" --benchmark_filter="$filter" --benchmark_format=json \
            >"$work/$count.$round.json" 2>/dev/null
    done
done
python3 - "$work" "$threads" <<'END'
import glob, json, sys
work, threads = sys.argv[1], sys.argv[2]
best = {}
for count in ("1", threads):
    for path in glob.glob(f"{work}/{count}.*.json"):
        for b in json.load(open(path))["benchmarks"]:
            name = b["name"].split("/iterations:")[0]
            seconds = b["real_time"]
            key = (name, count)
            best[key] = min(best.get(key, seconds), seconds)
names = sorted({name for name, _ in best})
print(f"{'benchmark':32} {'1 thread':>12} {threads + ' threads':>12} {'speed-up':>9}")
for name in names:
    one, many = best.get((name, "1")), best.get((name, threads))
    if one and many:
        print(f"{name:32} {one:12.2f} {many:12.2f} {one / many:8.2f}x")
END
