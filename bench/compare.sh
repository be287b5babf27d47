#!/usr/bin/env bash
# Whole-process pipelines on a 4096 x 4096 RGBA TGA file, against ImageMagick and GraphicsMagick.
#
# Each pipeline reads the file, does one job and writes the result, once as a chromaloom script and once
# with each peer, all single-threaded. The three are timed alternately, RUNS times each (default 5), and
# the median is reported with the ratio "faster peer / ours" (above 1: we are faster). Not part of CI.
#
# Usage: bench/compare.sh [path/to/chromaloom]   (default build/chromaloom; build it in Release)
# Environment: RUNS (runs per pipeline), PIPELINES (space-separated subset of names, default all).
#
# The peers are optional: apt-get install imagemagick graphicsmagick. A peer that is absent is skipped.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ours="$(realpath "${1:-$root/build/chromaloom}")"
runs="${RUNS:-5}"
[[ -x "$ours" ]] || { echo "no chromaloom binary at $ours (cmake -S . -B build && cmake --build build)" >&2; exit 1; }

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
[[ -n "$im" ]] || echo "ImageMagick not found: skipped (apt-get install imagemagick)"
[[ -n "$gm" ]] || echo "GraphicsMagick not found: skipped (apt-get install graphicsmagick)"

work="$(mktemp -d /tmp/chromaloom-compare-XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$root/requiredimages" requiredimages # the paint verb's texture

# Single-threaded peers, and ImageMagick without its stock 256 MiB memory cap (which would send the
# larger pipelines to a disk cache).
export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1
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
pipelines=(
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

now() { date +%s.%N; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

run_ours() { # $1: verb line
    {
        echo "read a in.tga"
        [[ "$1" == composite* ]] && echo "read b in.tga"
        [[ -n "$1" ]] && echo "$1"
        echo "write a out_ours.tga"
    } > job.script
    "$ours" job.script > ours.log
    if grep -q Error ours.log; then cat ours.log >&2; fi
}
run_im() { # $1: options
    if [[ "$1" == COMPOSITE ]]; then
        "$im" in.tga in.tga -geometry +10+10 -composite out_im.tga
    else
        # shellcheck disable=SC2086
        "$im" in.tga $1 out_im.tga
    fi
}
run_gm() {
    if [[ "$1" == COMPOSITE ]]; then
        "$gm" composite -geometry +10+10 in.tga in.tga out_gm.tga
    else
        # shellcheck disable=SC2086
        "$gm" convert in.tga $1 out_gm.tga
    fi
}
timed() { # command...: prints seconds
    local start end
    start=$(now)
    "$@" > /dev/null 2>&1 || echo "failed: $*" >&2
    end=$(now)
    echo "$end - $start" | bc -l
}

printf '%-18s %10s %10s %10s %12s\n' pipeline "ours (s)" "im (s)" "gm (s)" "peer / ours"
for line in "${pipelines[@]}"; do
    IFS='|' read -r name verb imopts <<< "$line"
    if [[ -n "${PIPELINES:-}" ]] && [[ " $PIPELINES " != *" ${name%% *} "* ]]; then
        continue
    fi
    gmopts="$(gm_options "$name" "$imopts")"
    t_ours=() t_im=() t_gm=()
    for ((r = 0; r < runs; ++r)); do
        t_ours+=("$(timed run_ours "$verb")")
        [[ -n "$im" ]] && t_im+=("$(timed run_im "$imopts")")
        [[ -n "$gm" ]] && t_gm+=("$(timed run_gm "$gmopts")")
    done
    m_ours=$(printf '%s\n' "${t_ours[@]}" | median)
    m_im=-
    m_gm=-
    best=""
    if [[ -n "$im" ]]; then
        m_im=$(printf '%.3f' "$(printf '%s\n' "${t_im[@]}" | median)")
        best=$m_im
    fi
    if [[ -n "$gm" ]]; then
        m_gm=$(printf '%.3f' "$(printf '%s\n' "${t_gm[@]}" | median)")
        if [[ -z "$best" ]] || (($(echo "$m_gm < $best" | bc -l))); then best=$m_gm; fi
    fi
    ratio=-
    [[ -n "$best" ]] && ratio=$(printf '%.1fx' "$(echo "$best / $m_ours" | bc -l)")
    printf '%-18s %10.3f %10s %10s %12s\n' "$name" "$m_ours" "$m_im" "$m_gm" "$ratio"
    rm -f out_ours.tga out_im.tga out_gm.tga
done
