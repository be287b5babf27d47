#!/usr/bin/env bash
# How steady whole runs are, and what a long script saves by reusing image memory.
#
#   1. Single runs: RUNS (default 20) runs each of read+write and of read, rotate 30, write on a 4096 x 4096
#      RGBA TGA file, after two warm-up runs; prints the median, the 90th percentile and their ratio, and the
#      mean user and system time.
#   2. Rounds: one script of ROUNDS (default 20) rounds of read, rotate 30, write against ROUNDS single runs
#      of the same pipeline (median of 5 of each).
#
# Usage: bench/steady.sh [path/to/chromaloom]   (default build/chromaloom; build it in Release)
# Environment: RUNS, ROUNDS, WORKDIR (default /dev/shm, a tmpfs, so that no disk is timed).
# Needs hyperfine and python3. Not part of CI.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ours="$(realpath "${1:-$root/build/chromaloom}")"
runs="${RUNS:-20}"
rounds="${ROUNDS:-20}"
[[ -x "$ours" ]] || { echo "no chromaloom binary at $ours (cmake -S . -B build && cmake --build build)" >&2; exit 1; }
command -v hyperfine > /dev/null || { echo "hyperfine is needed (apt-get install hyperfine)" >&2; exit 1; }
command -v python3 > /dev/null || { echo "python3 is needed" >&2; exit 1; }

workroot="${WORKDIR:-/dev/shm}"
[[ -d "$workroot" && -w "$workroot" ]] || workroot=/tmp
work="$(mktemp -d "$workroot/chromaloom-steady-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "$(hyperfine --version), files in $workroot ($(stat -f -c %T "$workroot")), wall-clock seconds"

# The input: a bundled photograph enlarged to 4096 x 4096 over a translucent background.
"$ours" --quiet - <<SCRIPT
read p $root/examples/images/landscape.tga
resize p 13 1
blank b 4096 4096
composite p over b 0 0
dissolve b 0.6
composite p over b 0 2600
write b in.tga
SCRIPT

# summary JSON...: one line per command of hyperfine's JSON export.
summary() {
    python3 - "$@" <<'PY'
import json, statistics, sys
for path in sys.argv[1:]:
    for r in json.load(open(path))["results"]:
        times = sorted(r["times"])
        median = statistics.median(times)
        p90 = times[min(len(times) - 1, int(0.9 * len(times)))]
        print(f"{r['command']:<24} {median:8.3f} {p90:8.3f} {p90 / median:9.2f} {r['user']:8.3f} {r['system']:8.3f}")
PY
}

printf 'read a in.tga\nwrite a out.tga\n' > copy.script
printf 'read a in.tga\nrotate a 30\nwrite a out.tga\n' > rotate.script
echo
echo "Single runs, $runs each"
printf '%-24s %8s %8s %9s %8s %8s\n' pipeline median p90 p90/median user system
hyperfine -N --style none --warmup 2 --runs "$runs" --export-json single.json \
    -n read+write "$ours --quiet copy.script" -n "read, rotate 30, write" "$ours --quiet rotate.script" > /dev/null
summary single.json

{
    for ((r = 0; r < rounds; ++r)); do
        printf 'read a in.tga\nrotate a 30\nwrite a out.tga\n'
    done
} > rounds.script
printf 'for i in $(seq %d); do "%s" --quiet rotate.script; done\n' "$rounds" "$ours" > singles.sh
echo
echo "$rounds rounds of read, rotate 30, write: one script against $rounds runs (median of 5)"
printf '%-24s %8s %8s %9s %8s %8s\n' "" median p90 p90/median user system
hyperfine -N --style none --warmup 1 --runs 5 --export-json rounds.json \
    -n "one script" "$ours --quiet rounds.script" -n "single runs" "bash singles.sh" > /dev/null
summary rounds.json
python3 - <<'PY'
import json, statistics
r = json.load(open("rounds.json"))["results"]
print(f"single runs / one script: {statistics.median(r[1]['times']) / statistics.median(r[0]['times']):.2f}x")
PY
