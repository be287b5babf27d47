#!/usr/bin/env bash
# Whole-process runs of chromaloom against ImageMagick, GraphicsMagick and libvips, all single-threaded.
#
# Two parts:
#   - Pipelines: a 4096 x 4096 RGBA TGA file read, one job done, the result written as TGA (against
#     ImageMagick and GraphicsMagick).
#   - Conversions: real photographs (5120 x 2880 wallpapers, see below) read from PNG and JPEG and written
#     as PNG and JPEG, against all three peers, each with its default settings.
#
# Every tool runs the same job RUNS times (default 5) after one checked warm-up run, and the median is
# reported with the ratios "faster of ImageMagick and GraphicsMagick / ours" and "libvips / ours" (above 1:
# we are faster), and our own spread (fastest and slowest run). When hyperfine is installed it does the
# timing (wall-clock time of each run, no shell in between); without it, or with TIMER=wait4, each run is
# timed from wait4, as CPU time (user + system, which moves less than wall-clock time on a shared machine)
# or with TIME=wall as wall-clock time. The first line of the output says which was used. Not part of CI.
#
# Usage: bench/compare.sh [path/to/chromaloom]   (default build/chromaloom; build it in Release)
# Environment:
#   RUNS         runs per job (default 5)
#   PIPELINES    space-separated subset of the pipelines by first word ("blur crop"), or "none"
#   CONVERSIONS  subset of png-read png-write jpeg-read jpeg-write jpeg-write-q90, or "none"
#   WALLPAPERS   the folder holding <Name>/contents/images/5120x2880.{png,jpg}; when unset, Debian's
#                plasma-workspace-wallpapers package is downloaded and unpacked into
#                ${XDG_CACHE_HOME:-~/.cache}/chromaloom-bench once (apt-get download, no root needed)
#   PNGS, JPEGS  the pictures (default "Altai Kay Patak" and "SafeLanding Volna")
#   WORKDIR      where the files are made (default /dev/shm, a tmpfs, so that no disk is timed)
#   TIMER        hyperfine (the default when it is installed) or wait4
#   TIME         with wait4: cpu (default) or wall; hyperfine always measures wall-clock time
#
# The peers are optional: apt-get install imagemagick graphicsmagick libvips-tools. A peer that is absent
# is skipped.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ours="$(realpath "${1:-$root/build/chromaloom}")"
runs="${RUNS:-5}"
metric="${TIME:-cpu}"
[[ -x "$ours" ]] || { echo "no chromaloom binary at $ours (cmake -S . -B build && cmake --build build)" >&2; exit 1; }
[[ "$metric" == cpu || "$metric" == wall ]] || { echo "TIME must be cpu or wall" >&2; exit 1; }
command -v python3 > /dev/null || { echo "python3 is needed to time the processes" >&2; exit 1; }
timer="${TIMER:-}"
if [[ -z "$timer" ]]; then
    timer=wait4
    command -v hyperfine > /dev/null && timer=hyperfine
fi
case "$timer" in
hyperfine)
    command -v hyperfine > /dev/null || { echo "TIMER=hyperfine, but hyperfine is not installed" >&2; exit 1; }
    metric=wall
    echo "Timing with $(hyperfine --version): wall-clock time, median of $runs runs after a checked warm-up"
    ;;
wait4) echo "Timing with wait4: $metric time, median of $runs runs after a checked warm-up (hyperfine not used)" ;;
*)
    echo "TIMER must be hyperfine or wait4" >&2
    exit 1
    ;;
esac

# The real ImageMagick 6 binary: a 'convert' earlier on PATH may be something else.
im=""
for candidate in /usr/bin/convert-im6.q16 /usr/bin/convert; do
    if [[ -x "$candidate" ]] && "$candidate" -version 2>/dev/null | grep -q ImageMagick; then
        im="$candidate"
        break
    fi
done
gm=""
if [[ -x /usr/bin/gm ]] && /usr/bin/gm version 2>/dev/null | grep -q GraphicsMagick; then
    gm=/usr/bin/gm
fi
vips=""
if [[ -x /usr/bin/vips ]] && /usr/bin/vips --version 2>/dev/null | grep -q vips; then
    vips=/usr/bin/vips
fi
[[ -n "$im" ]] || echo "ImageMagick not found: skipped (apt-get install imagemagick)"
[[ -n "$gm" ]] || echo "GraphicsMagick not found: skipped (apt-get install graphicsmagick)"
[[ -n "$vips" ]] || echo "libvips not found: skipped in the conversions (apt-get install libvips-tools)"

workroot="${WORKDIR:-/dev/shm}"
[[ -d "$workroot" && -w "$workroot" ]] || workroot=/tmp
work="$(mktemp -d "$workroot/chromaloom-compare-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "Files in $workroot ($(stat -f -c %T "$workroot"))"
ln -s "$root/requiredimages" requiredimages # the paint verb's texture

# Single-threaded peers, and ImageMagick without its stock 256 MiB memory cap (which would send the
# larger pipelines to a disk cache).
export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1
mkdir policy
cat > policy/policy.xml <<'XML'
<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="width" value="128KP"/>
  <policy domain="resource" name="height" value="128KP"/>
  <policy domain="resource" name="area" value="16GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>
XML
export MAGICK_CONFIGURE_PATH="$work/policy"

# Runs a command and prints its wall-clock time, user time and system time in seconds and its peak
# resident memory in KiB, all from wait4 (microsecond resolution; /usr/bin/time rounds to 10 ms). The
# command's own output goes to cmd.log; a failure is reported on standard error.
cat > runstat.py <<'PY'
import os, sys, time
start = time.monotonic()
pid = os.fork()
if pid == 0:
    log = os.open("cmd.log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.dup2(log, 1)
    os.dup2(log, 2)
    try:
        os.execv(sys.argv[1], sys.argv[1:])
    finally:
        os._exit(127)
_, status, usage = os.wait4(pid, 0)
wall = time.monotonic() - start
if os.waitstatus_to_exitcode(status) != 0:
    sys.stderr.write("failed: " + " ".join(sys.argv[1:]) + "\n" + open("cmd.log").read())
print(f"{wall:.6f} {usage.ru_utime:.6f} {usage.ru_stime:.6f} {usage.ru_maxrss}")
PY

# timed command...: prints the chosen time in seconds and leaves the peak memory (KiB) in peak.txt.
timed() {
    local wall user sys peak
    read -r wall user sys peak < <(python3 runstat.py "$(command -v "$1")" "${@:2}")
    echo "$peak" > peak.txt
    if [[ "$metric" == cpu ]]; then
        echo "$user + $sys" | bc -l
    else
        echo "$wall"
    fi
}

# Our program prints an error line (and still exits 0) when a script line fails.
check_ours_log() {
    if grep -q Error cmd.log; then cat cmd.log >&2; fi
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
median_of() { printf '%s\n' "$@" | median; }

# measure command...: one run whose output is checked (ours: no error line), then RUNS timed runs; prints
# "median fastest slowest" in seconds. Peak memory of the checked run is left in peak.txt.
measure() {
    timed "$@" > /dev/null
    [[ "$1" == "$ours" ]] && check_ours_log
    if [[ "$timer" == hyperfine ]]; then
        local quoted
        quoted="$(command -v "$1")$(printf ' %q' "${@:2}")"
        hyperfine -N --style none --runs "$runs" --export-json hyperfine.json "$quoted" > /dev/null
        python3 -c 'import json, statistics, sys
times = json.load(open("hyperfine.json"))["results"][0]["times"]
print(f"{statistics.median(times):.6f} {min(times):.6f} {max(times):.6f}")'
    else
        local times=() r
        for ((r = 0; r < runs; ++r)); do times+=("$(timed "$@")"); done
        printf '%s\n' "${times[@]}" | sort -g | awk '{v[NR] = $1}
            END {printf "%.6f %.6f %.6f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR]}'
    fi
}
spread() { printf '%.3f-%.3f' "$1" "$2"; } # fastest slowest
ratio() { # slower faster: "slower / faster" as 1.2x, or - when either is missing
    if [[ "$1" == - || "$2" == - ]]; then echo -; else printf '%.1fx' "$(echo "$1 / $2" | bc -l)"; fi
}
selected() { # list name: whether name is in the space-separated list (an empty list selects all)
    [[ -z "$1" ]] || [[ " $1 " == *" $2 "* ]]
}

# ---------------------------------------------------------------------------------------------------------
# Pipelines on a TGA file
# ---------------------------------------------------------------------------------------------------------

run_pipelines() {
    # The input: a bundled photograph enlarged to 4096 x 4096, translucent (alpha 153) except for an opaque
    # top-left quarter.
    "$ours" > /dev/null <<SCRIPT
read p $root/examples/images/landscape.tga
resize p 13 1
blank b 4096 4096
composite p over b 0 0
composite p over b 0 2600
copy b q
crop q 0 0 2047 2047
dissolve b 0.6
composite q over b 0 0
write b in.tga
SCRIPT
    [[ -s in.tga ]] || { echo "could not make the input image" >&2; exit 1; }

    # name | our verb lines between read and write | ImageMagick options | GraphicsMagick options
    local pipelines=(
        "read+write||"
        "blur 5|blur a 5|-blur 2x1"
        "darken 0.5|darken a 0.5|-channel RGB -evaluate multiply 0.5 +channel"
        "rotate 30|rotate a 30|-background none -rotate 30"
        "warp 2 (swirl)|warp a 2|-swirl 50"
        "resize 2 1|resize a 2 1|-sample 200%"
        "crop 2048x2048|crop a 1024 1024 3071 3071|-crop 2048x2048+1024+1024 +repage"
        "desaturate|desaturate a 1|-modulate 100,0"
        "composite|composite b over a 10 10|COMPOSITE"
        "warp 1 (pinch)|warp a 1|-implode 0.5"
        "paint|paint a|-paint 4"
    )
    # GraphicsMagick spells darken differently: one operator per colour channel.
    gm_options() {
        case "$1" in
        "darken 0.5") echo "-operator Red Multiply 0.5 -operator Green Multiply 0.5 -operator Blue Multiply 0.5" ;;
        *) echo "$2" ;;
        esac
    }
    # The command lines of one pipeline, as arrays: ours reads a script, the peers take options.
    job_ours() { # $1: verb line
        {
            echo "read a in.tga"
            [[ "$1" == composite* ]] && echo "read b in.tga"
            [[ -n "$1" ]] && echo "$1"
            echo "write a out_ours.tga"
        } > job.script
        cmd_ours=("$ours" job.script)
    }
    job_peers() { # $1: ImageMagick options, $2: GraphicsMagick options
        if [[ "$1" == COMPOSITE ]]; then
            cmd_im=("$im" in.tga in.tga -geometry +10+10 -composite out_im.tga)
            cmd_gm=("$gm" composite -geometry +10+10 in.tga in.tga out_gm.tga)
        else
            # shellcheck disable=SC2206
            cmd_im=("$im" in.tga $1 out_im.tga)
            # shellcheck disable=SC2206
            cmd_gm=("$gm" convert in.tga $2 out_gm.tga)
        fi
    }

    echo "Pipelines on a 4096 x 4096 RGBA TGA file ($metric time in seconds, median of $runs)"
    printf '%-18s %10s %13s %10s %10s %12s\n' pipeline "ours (s)" "ours range" "im (s)" "gm (s)" "peer / ours"
    local line name verb imopts gmopts m_ours lo hi m_im m_gm best cmd_ours cmd_im cmd_gm
    for line in "${pipelines[@]}"; do
        IFS='|' read -r name verb imopts <<< "$line"
        selected "${PIPELINES:-}" "${name%% *}" || continue
        gmopts="$(gm_options "$name" "$imopts")"
        job_ours "$verb"
        job_peers "$imopts" "$gmopts"
        read -r m_ours lo hi < <(measure "${cmd_ours[@]}")
        m_im=-
        m_gm=-
        best=-
        [[ -n "$im" ]] && m_im=$(printf '%.3f' "$(measure "${cmd_im[@]}" | cut -d' ' -f1)") && best=$m_im
        if [[ -n "$gm" ]]; then
            m_gm=$(printf '%.3f' "$(measure "${cmd_gm[@]}" | cut -d' ' -f1)")
            if [[ "$best" == - ]] || (($(echo "$m_gm < $best" | bc -l))); then best=$m_gm; fi
        fi
        printf '%-18s %10.3f %13s %10s %10s %12s\n' "$name" "$m_ours" "$(spread "$lo" "$hi")" "$m_im" "$m_gm" \
            "$(ratio "$best" "$m_ours")"
        rm -f out_ours.tga out_im.tga out_gm.tga
    done
    rm -f in.tga
    echo
}

# ---------------------------------------------------------------------------------------------------------
# Conversions of real photographs
# ---------------------------------------------------------------------------------------------------------

# The folder of the wallpapers: WALLPAPERS, or Debian's package unpacked into a cache folder.
find_wallpapers() {
    if [[ -n "${WALLPAPERS:-}" ]]; then
        echo "$WALLPAPERS"
        return
    fi
    local cache="${XDG_CACHE_HOME:-$HOME/.cache}/chromaloom-bench"
    local folder="$cache/x/usr/share/wallpapers"
    if [[ ! -d "$folder" ]]; then
        mkdir -p "$cache"
        echo "downloading plasma-workspace-wallpapers into $cache" >&2
        (cd "$cache" && apt-get download plasma-workspace-wallpapers > /dev/null &&
            dpkg-deb -x plasma-workspace-wallpapers*.deb x && rm -f plasma-workspace-wallpapers*.deb) >&2 ||
            { echo "could not download the wallpapers: set WALLPAPERS" >&2; return 1; }
    fi
    echo "$folder"
}

# The PAM header's WIDTH, HEIGHT and TUPLTYPE of a file, as "width height tupltype".
pam_shape() {
    head -c 200 "$1" | awk '$1 == "WIDTH" {w = $2} $1 == "HEIGHT" {h = $2} $1 == "TUPLTYPE" {t = $2}
                            END {print w, h, t}'
}

our_script() { # file, lines...: writes a script of the lines
    local file="$1"
    shift
    printf '%s\n' "$@" > "$file"
}

file_size() { stat -c %s "$1" 2>/dev/null || echo -; }

# One conversion of one picture: the four tools one after another, each measured, then a line of the
# table. Each command is given as the tool's arguments; outputs are named out_<tool>.<ext> and their sizes
# are kept in sizes.txt. Further arguments "label|command line" are measured the same way and printed below
# the line, to show where the time goes (our read alone, the codec library's own tool).
#   conversion picture ext ours-args im-args gm-args vips-args [label|command...]
convert_row() {
    local conversion="$1" picture="$2" ext="$3" c_ours="$4" c_im="$5" c_gm="$6" c_vips="$7"
    local extras=("${@:8}") i
    local m_ours lo hi m_im=- m_gm=- m_vips=- best=-
    # shellcheck disable=SC2086
    read -r m_ours lo hi < <(measure "$ours" $c_ours)
    m_ours=$(printf '%.3f' "$m_ours")
    # shellcheck disable=SC2086
    [[ -n "$im" ]] && m_im=$(printf '%.3f' "$(measure "$im" $c_im | cut -d' ' -f1)") && best=$m_im
    if [[ -n "$gm" ]]; then
        # shellcheck disable=SC2086
        m_gm=$(printf '%.3f' "$(measure "$gm" $c_gm | cut -d' ' -f1)")
        if [[ "$best" == - ]] || (($(echo "$m_gm < $best" | bc -l))); then best=$m_gm; fi
    fi
    # shellcheck disable=SC2086
    [[ -n "$vips" ]] && m_vips=$(printf '%.3f' "$(measure "$vips" $c_vips | cut -d' ' -f1)")
    printf '%-15s %-12s %9s %13s %9s %9s %9s %11s %11s\n' "$conversion" "$picture" "$m_ours" \
        "$(spread "$lo" "$hi")" "$m_im" "$m_gm" "$m_vips" "$(ratio "$best" "$m_ours")" "$(ratio "$m_vips" "$m_ours")"
    for i in "${!extras[@]}"; do
        # shellcheck disable=SC2086
        printf '    %-36s %9.3f\n' "${extras[$i]%%|*}" "$(measure ${extras[$i]#*|} | cut -d' ' -f1)"
    done
    if [[ "$ext" == png || "$ext" == jpg ]]; then
        echo "$conversion|$picture|$(file_size "out_ours.$ext")|$(file_size "out_im.$ext")|$(file_size \
            "out_gm.$ext")|$(file_size "out_vips.$ext")" >> sizes.txt
    fi
    rm -f out_ours.* out_im.* out_gm.* out_vips.*
}

run_conversions() {
    local wallpapers
    wallpapers="$(find_wallpapers)" || return 0
    local pngs="${PNGS:-Altai Kay Patak}" jpegs="${JPEGS:-SafeLanding Volna}"
    local picture
    for picture in $pngs; do
        [[ -f "$wallpapers/$picture/contents/images/5120x2880.png" ]] ||
            { echo "no $wallpapers/$picture/contents/images/5120x2880.png" >&2; return 1; }
    done
    for picture in $jpegs; do
        [[ -f "$wallpapers/$picture/contents/images/5120x2880.jpg" ]] ||
            { echo "no $wallpapers/$picture/contents/images/5120x2880.jpg" >&2; return 1; }
    done
    : > sizes.txt
    : > memory.txt

    echo "Conversions of 5120 x 2880 photographs ($metric time in seconds, median of $runs)"
    printf '%-15s %-12s %9s %13s %9s %9s %9s %11s %11s\n' conversion picture ours "ours range" im gm vips \
        "im|gm/ours" "vips/ours"

    for picture in $pngs; do
        cp "$wallpapers/$picture/contents/images/5120x2880.png" "$picture.png"
        # The uncompressed inputs of the PNG write, all holding the same pixels: our PAM (RGB when every
        # pixel is opaque, RGB_ALPHA otherwise) for us and the two Magicks, and for libvips, which reads
        # no PAM, its own format made from our PPM of an opaque picture or from the PNG itself.
        our_script make.script "read a $picture.png" "write a pam:$picture.pam" "write a ppm:$picture.ppm"
        "$ours" make.script > /dev/null
        local shape
        shape=$(pam_shape "$picture.pam")
        if [[ -n "$vips" ]]; then
            if [[ "${shape##* }" == RGB ]]; then
                "$vips" copy "$picture.ppm" "$picture.v"
            else
                "$vips" copy "$picture.png" "$picture.v"
            fi
        fi
        rm -f "$picture.ppm"

        if selected "${CONVERSIONS:-}" png-read; then
            our_script read.script "read a $picture.png" "write a pam:out_ours.pam"
            our_script read-only.script "read a $picture.png"
            convert_row "png read" "$picture" pam read.script "$picture.png out_im.pam" \
                "convert $picture.png out_gm.pam" "copy $picture.png out_vips.v" \
                "ours, the read alone|$ours read-only.script"
        fi
        if selected "${CONVERSIONS:-}" png-write; then
            our_script write.script "read a $picture.pam" "write a png:out_ours.png"
            convert_row "png write" "$picture" png write.script "$picture.pam out_im.png" \
                "convert $picture.pam out_gm.png" "copy $picture.v out_vips.png"
        fi
        # Peak memory of a PNG read and write, beside what it may be: the image, the larger of the two
        # files and 16 MiB.
        our_script both.script "read a $picture.png" "write a png:both.png"
        timed "$ours" both.script > /dev/null
        check_ours_log
        read -r width height _ <<< "$shape"
        local image_bytes=$((width * height * 4)) file_bytes
        file_bytes=$(file_size "$picture.png")
        (($(file_size both.png) > file_bytes)) && file_bytes=$(file_size both.png)
        echo "$picture $(cat peak.txt) $image_bytes $file_bytes" >> memory.txt
        rm -f both.png "$picture.png" "$picture.pam" "$picture.v"
    done

    for picture in $jpegs; do
        cp "$wallpapers/$picture/contents/images/5120x2880.jpg" "$picture.jpg"
        # The uncompressed inputs of the JPEG write: our decoding of the picture, as PAM for us and the two
        # Magicks and in libvips's own format (by way of PPM) for libvips.
        our_script make.script "read a $picture.jpg" "write a pam:$picture.pam" "write a ppm:$picture.ppm"
        "$ours" make.script > /dev/null
        [[ -n "$vips" ]] && "$vips" copy "$picture.ppm" "$picture.v"
        rm -f "$picture.ppm"

        if selected "${CONVERSIONS:-}" jpeg-read; then
            our_script read.script "read a $picture.jpg" "write a pam:out_ours.pam"
            our_script read-only.script "read a $picture.jpg"
            # The floor: libjpeg-turbo's own decoder program writing to /dev/null (libjpeg-turbo-progs).
            local floor=()
            command -v djpeg > /dev/null &&
                floor=("djpeg alone, to /dev/null|$(command -v djpeg) -outfile /dev/null $picture.jpg")
            convert_row "jpeg read" "$picture" pam read.script "$picture.jpg out_im.pam" \
                "convert $picture.jpg out_gm.pam" "copy $picture.jpg out_vips.v" \
                "ours, the read alone|$ours read-only.script" "${floor[@]}"
        fi
        if selected "${CONVERSIONS:-}" jpeg-write; then
            # Each tool's default quality and chroma subsampling.
            our_script write.script "read a $picture.pam" "write a jpg:out_ours.jpg"
            convert_row "jpeg write" "$picture" jpg write.script "$picture.pam out_im.jpg" \
                "convert $picture.pam out_gm.jpg" "copy $picture.v out_vips.jpg"
        fi
        if selected "${CONVERSIONS:-}" jpeg-write-q90; then
            # The same work for every tool: quality 90 with 4:2:0 chroma subsampling (our default).
            our_script write.script "read a $picture.pam" "write a jpg90:out_ours.jpg"
            convert_row "jpeg write q90" "$picture" jpg write.script \
                "$picture.pam -quality 90 -sampling-factor 2x2 out_im.jpg" \
                "convert $picture.pam -quality 90 -sampling-factor 2x2 out_gm.jpg" \
                "jpegsave $picture.v out_vips.jpg --Q 90 --subsample-mode on"
        fi
        rm -f "$picture.jpg" "$picture.pam" "$picture.v"
    done
    echo

    if [[ -s sizes.txt ]]; then
        echo "Sizes of the files written (bytes)"
        printf '%-15s %-12s %10s %10s %10s %10s %10s\n' conversion picture ours im gm vips "ours/vips"
        local conversion pic s_ours s_im s_gm s_vips share
        while IFS='|' read -r conversion pic s_ours s_im s_gm s_vips; do
            share=-
            [[ "$s_vips" != - ]] && share=$(printf '%.3f' "$(echo "$s_ours / $s_vips" | bc -l)")
            printf '%-15s %-12s %10s %10s %10s %10s %10s\n' "$conversion" "$pic" "$s_ours" "$s_im" "$s_gm" \
                "$s_vips" "$share"
        done < sizes.txt
        echo
    fi
    echo "Peak memory of our PNG read + write (MiB): at most the image + the larger file + 16 MiB"
    printf '%-12s %9s %9s %9s %9s  %s\n' picture peak image file bound ""
    local pic peak image file bound
    while read -r pic peak image file; do
        bound=$((image + file + (16 << 20)))
        printf '%-12s %9.1f %9.1f %9.1f %9.1f  %s\n' "$pic" "$(echo "$peak / 1024" | bc -l)" \
            "$(echo "$image / 1048576" | bc -l)" "$(echo "$file / 1048576" | bc -l)" \
            "$(echo "$bound / 1048576" | bc -l)" "$( ((peak * 1024 <= bound)) && echo within || echo ABOVE)"
    done < memory.txt
}

if [[ "${PIPELINES:-}" != none ]]; then
    run_pipelines
fi
if [[ "${CONVERSIONS:-}" != none ]]; then
    run_conversions
fi
