#!/usr/bin/env bash
# Runs one script over every image of a folder, one chromaloom per file, several at once.
#
#   examples/batch/run.sh [-j JOBS] [-f FORMAT] [--xargs | --parallel] TEMPLATE INPUT_DIR OUTPUT_DIR
#
# Every file of INPUT_DIR whose name ends in an image extension (written_as below, in any letter case) is
# run as `chromaloom --strict --quiet TEMPLATE INPUT OUTPUT`: the template reads $1 and writes $2, which is
# FORMAT:OUTPUT_DIR/NAME.EXT. Without -f each file keeps its own format where the program writes it (a .pbm
# or .pnm file becomes .pam; GIF, BMP and HEIF files become .png). JOBS runs go at once on each machine, by
# default one per processor here, and each run gets that share of the memory the program would otherwise
# take for itself, and its share of the processors (CHROMALOOM_THREADS), unless those are set. GNU parallel is used when it is installed (with a progress bar when standard error is a
# terminal), xargs -P otherwise. Every failed file is reported with its messages once all have run, and every
# other file of the folder is listed as skipped. Exit status: 0 when every file went through (or the folder
# held no file), 1 when any failed or none of the folder's files is an image, 2 when nothing was run because
# the command line was wrong, 128+N when stopped by signal N; see README.md beside this file.
set -euo pipefail
export LC_ALL=C
me="${0##*/}"

# The extensions of the images the program reads, in lower case (a name may have them in any letter case),
# and the format each is written in without -f: its own where the program writes it, else PAM (for .pnm and
# .pbm) or PNG, which hold them exactly. The files of the folder with other extensions are skipped.
declare -A written_as=(
    [tga]=tga [png]=png [jpg]=jpg [jpeg]=jpg [webp]=webp [pam]=pam [ppm]=ppm [pgm]=pgm [pnm]=pam [pbm]=pam
    [tif]=tif [tiff]=tif [avif]=avif [gif]=png [bmp]=png [dib]=png [heic]=png [heif]=png [hif]=png
)

# A file name as the report shows it: as it is, or quoted when it holds a control character (a newline).
shown() {
    if [[ "$1" == *[[:cntrl:]]* ]]; then printf '%q' "$1"; else printf '%s' "$1"; fi
}

# The memory the program lets all its images take by default, in bytes: three quarters of the machine's
# memory, or of its memory control group's limit when that is lower (the tightest limit on the way from the
# group up to the root of its hierarchy, in either of the two layouts under /sys/fs/cgroup). Fails when
# nothing can be learned, as the program then has no limit of its own either.
default_memory_budget() {
    local lowest="" name value controllers group mount file dir
    while read -r name value _; do
        [[ "$name" == MemTotal: && "$value" =~ ^[0-9]{1,15}$ ]] && lowest=$((value * 1024))
    done 2>/dev/null </proc/meminfo || true
    while IFS=: read -r _ controllers group; do
        if [[ -z "$controllers" ]]; then
            mount=/sys/fs/cgroup file=memory.max
            [[ -e "$mount/cgroup.controllers" ]] || mount=/sys/fs/cgroup/unified
        elif [[ ",$controllers," == *,memory,* ]]; then
            mount=/sys/fs/cgroup/memory file=memory.limit_in_bytes
        else
            continue
        fi
        [[ -d "$mount" ]] || continue
        dir="$mount${group%/}"
        [[ -d "$dir" ]] || dir="$mount"
        while :; do
            value=""
            read -r value 2>/dev/null <"$dir/$file" || true
            # "max", and the huge numbers the older layout writes for no limit, do not limit.
            if [[ "$value" =~ ^[0-9]{1,18}$ ]]; then
                value=$((10#$value))
                [[ -n "$lowest" ]] && ((lowest <= value)) || lowest="$value"
            fi
            ((${#dir} > ${#mount})) || break
            dir="${dir%/*}"
        done
    done 2>/dev/null </proc/self/cgroup || true
    [[ -n "$lowest" ]] && echo $((lowest / 4 * 3)) # rounded as the program rounds it
}

# The processors the runs here may use: those this process may run on, lowered to its control group's CPU
# quota (rounded up) when one is set, in either layout under /sys/fs/cgroup. At least 1.
usable_cpus() {
    local cpus quota period controllers group dir
    cpus="$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc 2>/dev/null)" || cpus=1
    while IFS=: read -r _ controllers group; do
        quota="" period=""
        if [[ -z "$controllers" ]]; then
            dir=/sys/fs/cgroup${group%/}
            read -r quota period 2>/dev/null <"$dir/cpu.max" || true
        elif [[ ",$controllers," == *,cpu,* ]]; then
            dir=/sys/fs/cgroup/$controllers${group%/}
            [[ -d "$dir" ]] || dir=/sys/fs/cgroup/cpu${group%/}
            read -r quota 2>/dev/null <"$dir/cpu.cfs_quota_us" || true
            read -r period 2>/dev/null <"$dir/cpu.cfs_period_us" || true
        fi
        if [[ "$quota" =~ ^[0-9]{1,15}$ && "$period" =~ ^[0-9]{1,15}$ ]] && ((quota > 0 && period > 0)); then
            quota=$(((quota + period - 1) / period))
            ((quota >= cpus)) || cpus="$quota"
        fi
    done 2>/dev/null </proc/self/cgroup || true
    echo $((cpus > 0 ? cpus : 1))
}

# One file, called by xargs or parallel: INDEX INPUT OUTPUT. The result is left in the scratch folder as
# INDEX.ok, or INDEX.failed holding the program's messages. A status other than 0 means the result could
# not be kept; the messages then go to standard error.
if [[ "${1:-}" == "--one" ]]; then
    index="$2" input="$3" output="$4"
    state="$CHROMALOOM_BATCH_STATE"
    if [[ -z "${CHROMALOOM_MEMORY_LIMIT+set}" ]] && budget="$(default_memory_budget)"; then
        export CHROMALOOM_MEMORY_LIMIT=$((budget / CHROMALOOM_BATCH_JOBS))
    fi
    # JOBS runs at once share the processors, so that a batch never asks for more threads than there are.
    if [[ -z "${CHROMALOOM_THREADS+set}" ]]; then
        share=$(($(usable_cpus) / CHROMALOOM_BATCH_JOBS))
        export CHROMALOOM_THREADS=$((share > 0 ? share : 1))
    fi
    status=0
    messages="$("$CHROMALOOM_BATCH_PROGRAM" --strict --quiet "$CHROMALOOM_BATCH_TEMPLATE" "$input" "$output" \
        2>&1 >/dev/null)" || status=$?
    if ((status == 0)); then
        : 2>/dev/null >"$state/$index.ok" && exit 0
    else
        # With --strict, 1 is a line that failed, which the messages tell; anything else is said too.
        if ((status > 128)); then
            messages+="${messages:+$'\n'}(the program was stopped by signal $((status - 128)))"
        elif ((status != 1)) || [[ -z "$messages" ]]; then
            messages+="${messages:+$'\n'}(the program ended with status $status)"
        fi
        { printf '%s\n' "$messages" >"$state/$index.part" &&
            mv "$state/$index.part" "$state/$index.failed"; } 2>/dev/null && exit 0
    fi
    printf '%s: cannot keep the result of %q in %s (status %d); its messages:\n%s\n' \
        "$me" "$input" "$state" "$status" "$messages" >&2
    exit 1
fi

usage() {
    cat <<END
usage: $me [-j JOBS] [-f FORMAT] [--xargs | --parallel] TEMPLATE INPUT_DIR OUTPUT_DIR
  -j JOBS     runs at once on each machine (default: one per processor of this one)
  -f FORMAT   the format written: tga, png, jpg, jpeg, webp, avif, tif, tiff, pam, ppm or pgm, or jpgQ,
              webpQ or avifQ with a quality Q of 1 to 100 (default: each file's own format; .pbm and
              .pnm become .pam, and .gif, .bmp, .dib, .heic, .heif and .hif become .png)
  --xargs     run with xargs -P (also CHROMALOOM_BATCH_RUNNER=xargs)
  --parallel  run with GNU parallel (also CHROMALOOM_BATCH_RUNNER=parallel; the default when installed)
Status: 0 every file went through (or the folder held no file), 1 a file failed or was not run, or
none of the folder's files is an image (see the report), 2 a wrong command line (nothing was run),
128+N stopped by signal N (after the report).
END
}
wrong() {
    echo "$me: $*" >&2
    echo "usage: $me [-j JOBS] [-f FORMAT] [--xargs | --parallel] TEMPLATE INPUT_DIR OUTPUT_DIR" >&2
    exit 2
}

runner="${CHROMALOOM_BATCH_RUNNER:-}"
jobs=""
format=""
while [[ $# -gt 0 ]]; do
    case "$1" in
    -h | --help) usage; exit 0 ;;
    --xargs) runner="xargs" ;;
    --parallel) runner="parallel" ;;
    -j)
        [[ $# -ge 2 ]] || wrong "-j needs a number"
        [[ "$2" =~ ^[1-9][0-9]{0,5}$ ]] || wrong "-j takes a whole number of runs from 1 up, not '$2'"
        jobs="$2"
        shift
        ;;
    -f)
        [[ $# -ge 2 ]] || wrong "-f needs a format"
        format="${2,,}"
        [[ "$format" =~ ^(tga|png|pam|ppm|pgm|tiff?|(jpe?g|webp|avif)([1-9][0-9]?|100)?)$ ]] ||
            wrong "-f takes tga, png, jpg, jpeg, webp, avif, tif, tiff, pam, ppm, pgm, jpgQ, webpQ or avifQ" \
                "(Q 1 to 100), not '$2'"
        shift
        ;;
    --) shift; break ;;
    -?*) wrong "no option $1" ;;
    *) break ;;
    esac
    shift
done
[[ $# -eq 3 ]] || wrong "give a template, an input folder and an output folder"
template="$1" input_dir="$2" output_dir="$3"
[[ -f "$template" && -r "$template" ]] || wrong "cannot read the template $template"
[[ -d "$input_dir" ]] || wrong "no folder $input_dir"
# Without the slashes at the end (photos/ gives photos/x.png, not photos//x.png). A folder whose first
# part holds a colon would read as a format prefix (png:x/...) to read and write.
[[ "$input_dir" =~ ^(.*[^/])/+$ ]] && input_dir="${BASH_REMATCH[1]}"
[[ "$output_dir" =~ ^(.*[^/])/+$ ]] && output_dir="${BASH_REMATCH[1]}"
[[ "$input_dir" == /* || "${input_dir%%/*}" != *:* ]] || input_dir="./$input_dir"
[[ "$output_dir" == /* || "${output_dir%%/*}" != *:* ]] || output_dir="./$output_dir"
real_in="$(realpath -- "$input_dir")"
real_out="$(realpath -m -- "$output_dir")"
if [[ "$real_out" == "$real_in" || "$real_out" == "${real_in%/}"/* ]]; then
    wrong "the output folder $output_dir is the input folder or inside it: outputs would replace inputs"
fi
mkdir -p -- "$output_dir" || wrong "cannot make the output folder $output_dir"

program="${CHROMALOOM:-}"
if [[ -z "$program" ]]; then
    program="$(command -v chromaloom || true)"
    [[ -n "$program" ]] || program="$(dirname "$(realpath "$0")")/../../build/chromaloom"
fi
[[ -f "$program" && -x "$program" ]] || wrong "cannot run the program $program (set CHROMALOOM)"
program="$(realpath -- "$program")"
if [[ -z "$runner" ]]; then
    runner="xargs"
    parallel --version 2>/dev/null | grep -q 'GNU parallel' && runner="parallel"
fi
case "$runner" in
parallel) parallel --version 2>/dev/null | grep -q 'GNU parallel' || wrong "GNU parallel is not installed" ;;
xargs) ;;
*) wrong "unknown runner $runner (parallel or xargs)" ;;
esac
[[ -n "$jobs" ]] || jobs="$(nproc)"

# The inputs, in the order of their names, and for each its output: the same name with the format's own
# extension. Two inputs with one output (x.tga and x.TGA, or x.png and x.tga under -f png) are not run. The
# other regular files of the folder (notes.txt, .DS_Store) are skipped; sub-folders are left alone.
inputs=() skipped=()
while IFS= read -r -d '' input; do
    name="${input##*/}"
    extension=""
    [[ "$name" == *.* ]] && extension="${name##*.}" && extension="${extension,,}"
    if [[ -n "$extension" && -n "${written_as[$extension]+set}" ]]; then
        inputs+=("$input")
    else
        skipped+=("$input")
    fi
done < <(find "$input_dir" -mindepth 1 -maxdepth 1 -type f -print0 | sort -z)
outputs=() arguments=()
declare -A sharing=() # output -> the indices of the inputs that have it
for i in "${!inputs[@]}"; do
    name="${inputs[i]##*/}"
    extension="${name##*.}"
    prefix="${format:-${written_as[${extension,,}]}}"
    case "$prefix" in
    jpeg* | jpg*) extension=jpg prefix="jpg${prefix#jp*g}" ;;
    tiff) extension=tif prefix=tif ;;
    *) extension="${prefix%%[0-9]*}" ;; # webp80 is written as .webp
    esac
    output="$output_dir/${name%.*}.$extension"
    outputs[i]="$output"
    arguments[i]="$prefix:$output"
    sharing[$output]+=" $i"
done
declare -A not_run=()
for i in "${!inputs[@]}"; do
    output="${outputs[i]}"
    for other in ${sharing[$output]}; do
        ((other != i)) || continue
        not_run[$i]+="    not run: $(shown "${inputs[other]}") has the same output, $(shown "$output")"$'\n'
    done
done

# The scratch folder holds one result per file. Without it nothing can be run, and every file has failed.
# Stopped by a signal (Ctrl-C reaches the runner and the runs too), the driver still reports what was done.
runner_status=0
stopped=""
if state="$(mktemp -d 2>&1)"; then
    trap 'rm -rf "$state"' EXIT
    for signal in INT TERM HUP; do
        trap "stopped=$signal" "$signal"
    done
    template="$(realpath -- "$template")"
    self="$(realpath -- "$0")"
    export CHROMALOOM_BATCH_PROGRAM="$program" CHROMALOOM_BATCH_TEMPLATE="$template"
    export CHROMALOOM_BATCH_STATE="$state" CHROMALOOM_BATCH_JOBS="$jobs"
    list() {
        for i in "${!inputs[@]}"; do
            [[ -n "${not_run[$i]:-}" ]] || printf '%s\0' "$i" "${inputs[i]}" "${arguments[i]}"
        done
    }
    if [[ "$runner" == parallel ]]; then
        # -q keeps every word of the command whole, wherever the driver lies; the settings go along to
        # other machines with --env, and --workdir . runs each job in this folder there too. Jobs print
        # nothing but the trouble of keeping a result, which is passed straight through (-u).
        options=(-0 -N 3 -q -u -j "$jobs" --workdir .)
        [[ -t 2 ]] && options+=(--bar)
        for variable in CHROMALOOM_BATCH_PROGRAM CHROMALOOM_BATCH_TEMPLATE CHROMALOOM_BATCH_STATE \
            CHROMALOOM_BATCH_JOBS ${CHROMALOOM_MEMORY_LIMIT+CHROMALOOM_MEMORY_LIMIT} \
            ${CHROMALOOM_THREADS+CHROMALOOM_THREADS}; do
            options+=(--env "$variable")
        done
        list | parallel "${options[@]}" bash "$self" --one '{1}' '{2}' '{3}' || runner_status=$?
    else
        list | xargs -0 -r -n 3 -P "$jobs" bash "$self" --one || runner_status=$?
    fi
else
    echo "$me: cannot make a scratch folder: $state" >&2
    state=""
fi

# The report, in the order of the file names: the files skipped, then those that failed.
for input in "${skipped[@]}"; do
    echo "SKIPPED $(shown "$input")"
done
failed=0
for i in "${!inputs[@]}"; do
    if [[ -z "${not_run[$i]:-}" && -n "$state" && -e "$state/$i.ok" ]]; then
        continue
    fi
    failed=$((failed + 1))
    echo "FAILED $(shown "${inputs[i]}")"
    if [[ -n "${not_run[$i]:-}" ]]; then
        printf '%s' "${not_run[$i]}"
    elif [[ -z "$state" ]]; then
        echo "    not run: no scratch folder"
    elif [[ -e "$state/$i.failed" ]]; then
        sed 's/^/    /' "$state/$i.failed"
    elif [[ -n "$stopped" ]]; then
        echo "    not run, or stopped: the driver was stopped by SIG$stopped"
    else
        echo "    its run left no result ($runner ended with status $runner_status; see the messages above)"
    fi
done
summary="$((${#inputs[@]} - failed)) of ${#inputs[@]} files done, $failed failed"
if ((${#skipped[@]} == 1)); then
    summary+="; 1 other file skipped for its extension"
elif ((${#skipped[@]} > 1)); then
    summary+="; ${#skipped[@]} other files skipped for their extension"
fi
echo "$summary"
[[ -z "$stopped" ]] || exit $((128 + $(kill -l "$stopped")))
# Files given and none of them an image is a failure too: the template was run on nothing.
((failed == 0)) && ((${#inputs[@]} > 0 || ${#skipped[@]} == 0))
