#!/usr/bin/env bash
# Runs one script over every TGA file (*.tga, any case) of a folder, one chromaloom per file, several at once.
#
#   examples/batch/run.sh [--xargs] [-j JOBS] TEMPLATE INPUT_DIR OUTPUT_DIR
#
# TEMPLATE is a script in which @IN@ stands for the input file and @OUT@ for the output file
# (OUTPUT_DIR/<same name>.tga). Each input file gets its own copy of the script and its own run of the
# program, in the current directory (so paint finds requiredimages/ there). JOBS runs go at once, by default
# one per processor. GNU parallel is used when it is installed, with its progress bar; --xargs (or
# CHROMALOOM_BATCH_RUNNER=xargs) uses xargs -P instead. The program is $CHROMALOOM, else chromaloom on the
# PATH, else build/chromaloom of this repository.
#
# The program exits 0 once it has read a script, however many lines failed, so a file counts as failed when
# the output of its run has a line beginning with "Error" (see docs/language.md). Each failed file is
# reported with its messages after all have run; the others go on regardless. Exit status: 0 when every
# file went through, 1 when any failed, 2 for a wrong command line.
set -euo pipefail

# One file: fill in the template, run it, keep the output only when it failed. Called by xargs or parallel.
if [[ "${1:-}" == "--one" ]]; then
    export LC_ALL=C
    input="$2"
    name="$(basename "$input")"
    output="$CHROMALOOM_BATCH_OUT/${name%.[tT][gG][aA]}.tga"
    log="$(mktemp --suffix=.log "$CHROMALOOM_BATCH_STATE/job.XXXXXX")"
    base="${log%.log}"
    printf '%s\n' "$input" >"$log"
    # A script word ends at a blank or a byte above 127: such a path cannot be written into a script.
    if [[ "$input$output" == *[![:graph:]]* ]]; then
        echo "Error: the file name holds a blank or a non-ASCII character, which a script cannot carry" >>"$log"
        exit 0
    fi
    template="$(cat "$CHROMALOOM_BATCH_TEMPLATE")"
    script="${template//@IN@/"$input"}"
    script="${script//@OUT@/"$output"}"
    while IFS= read -r line; do
        if ((${#line} > 254)); then
            echo "Error: a script line would be longer than 254 bytes: $line" >>"$log"
            exit 0
        fi
    done <<<"$script"
    printf '%s\n' "$script" >"$base.script"
    status=0
    "$CHROMALOOM_BATCH_PROGRAM" "$base.script" >"$base.out" 2>&1 || status=$?
    if [[ $status != 0 ]] || grep -q '^Error' "$base.out"; then
        grep -v '^Chromaloom$' "$base.out" | grep -v '^Opening script file ' >>"$log" || true
        [[ $status == 0 ]] || echo "(the program ended with status $status)" >>"$log"
    else
        rm -f "$log"
    fi
    rm -f "$base.script" "$base.out"
    exit 0
fi

usage() {
    echo "usage: $0 [--xargs] [-j JOBS] TEMPLATE INPUT_DIR OUTPUT_DIR" >&2
    exit 2
}
runner="${CHROMALOOM_BATCH_RUNNER:-}"
jobs=""
while [[ $# -gt 0 ]]; do
    case "$1" in
    --xargs) runner="xargs" ;;
    -j) [[ $# -ge 2 ]] || usage; jobs="$2"; shift ;;
    -*) usage ;;
    *) break ;;
    esac
    shift
done
[[ $# -eq 3 ]] || usage
template="$1" input_dir="$2" output_dir="$3"
[[ -f "$template" ]] || { echo "$0: no template $template" >&2; exit 2; }
[[ -d "$input_dir" ]] || { echo "$0: no folder $input_dir" >&2; exit 2; }
mkdir -p "$output_dir"

program="${CHROMALOOM:-}"
if [[ -z "$program" ]]; then
    program="$(command -v chromaloom || true)"
    [[ -n "$program" ]] || program="$(cd "$(dirname "$0")/../.." && pwd)/build/chromaloom"
fi
[[ -x "$program" ]] || { echo "$0: cannot run the program $program" >&2; exit 2; }
if [[ -z "$runner" ]]; then
    runner="xargs"
    if parallel --version 2>/dev/null | grep -q 'GNU parallel'; then
        runner=parallel
    fi
fi

state="$(mktemp -d)"
trap 'rm -rf "$state"' EXIT
export CHROMALOOM_BATCH_PROGRAM="$program" CHROMALOOM_BATCH_TEMPLATE="$template"
export CHROMALOOM_BATCH_OUT="$output_dir" CHROMALOOM_BATCH_STATE="$state"

find "$input_dir" -maxdepth 1 -type f -iname '*.tga' -print0 | sort -z >"$state/inputs"
total="$(tr -cd '\0' <"$state/inputs" | wc -c)"
self="$(realpath "$0")"
case "$runner" in
parallel)
    # Without -j GNU parallel runs one job per processor on every machine (or as many as its
    # --sshloginfile says); the settings go along to other machines with --env.
    parallel --bar -0 ${jobs:+-j "$jobs"} --env CHROMALOOM_BATCH_PROGRAM --env CHROMALOOM_BATCH_TEMPLATE \
        --env CHROMALOOM_BATCH_OUT --env CHROMALOOM_BATCH_STATE bash "$self" --one {} <"$state/inputs"
    ;;
xargs) xargs -0 -r -n 1 -P "${jobs:-$(nproc)}" bash "$self" --one <"$state/inputs" ;;
*) echo "$0: unknown runner $runner (parallel or xargs)" >&2; exit 2 ;;
esac

# Every log left behind is a failed file: its first line names it, the rest are its messages. They are
# reported in the order of the file names.
declare -A log_of=()
for log in "$state"/job.*.log; do
    [[ -e "$log" ]] && log_of["$(head -n 1 "$log")"]="$log"
done
failed=${#log_of[@]}
while IFS= read -r -d '' input; do
    log="${log_of[$input]:-}"
    [[ -n "$log" ]] || continue
    echo "FAILED $input"
    tail -n +2 "$log" | sed 's/^/    /'
done <"$state/inputs"
echo "$((total - failed)) of $total files done, $failed failed"
[[ $failed -eq 0 ]]
