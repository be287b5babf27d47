#!/usr/bin/env bash
# Makes the gallery: one small picture per verb, each made by a two- or three-line script from the bundled
# landscape and balloon, the landscape reduced to 160 x 100 by the program itself.
#
#   docs/gallery/make.sh [PROGRAM]              TGA files into docs/gallery/tga/, PNG files into docs/gallery/
#   docs/gallery/make.sh --tga-only DIR [PROGRAM]   only the TGA files, into DIR (the check in the tests)
#
# PROGRAM defaults to build/chromaloom, which makes the PNG files too. Every script runs in a scratch folder
# that links the repository's requiredimages/, because paint reads its texture from there (and leaves
# brushstroke.tga behind, which is thrown away). Any "Error (line" in a script's output fails the whole run.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"

tga_only=0
tga_dir="$here/tga"
if [[ "${1:-}" == "--tga-only" ]]; then
    [[ $# -ge 2 ]] || { echo "usage: $0 --tga-only DIR [PROGRAM]" >&2; exit 2; }
    tga_only=1
    tga_dir="$2"
    shift 2
fi
program="${1:-$root/build/chromaloom}"
[[ "$program" == /* ]] || program="$PWD/$program"
[[ -x "$program" ]] || { echo "$0: no program at $program (build it first)" >&2; exit 2; }
mkdir -p "$tga_dir"
tga_dir="$(cd "$tga_dir" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
ln -s "$root/requiredimages" "$work/requiredimages"

# run NAME LINES...: runs the script made of LINES in the scratch folder; fails on any error message.
run() {
    local name="$1"
    shift
    printf '%s\n' "$@" >"$work/$name.script"
    local output
    output="$(cd "$work" && "$program" "$name.script")"
    if grep -q '^Error' <<<"$output"; then
        echo "$0: the $name script failed:" >&2
        echo "$output" >&2
        exit 1
    fi
}

# The inputs, made by the program: the landscape at half size, and the balloon as it is.
run inputs \
    "read a $root/examples/images/landscape.tga" "resize a 1 2" "write a $tga_dir/landscape.tga" \
    "read b $root/examples/images/balloon.tga" "write b $tga_dir/balloon.tga"

# verb NAME LINE...: reads the landscape into a, runs LINE..., writes a as NAME.tga.
verb() {
    local name="$1"
    shift
    run "$name" "read a $tga_dir/landscape.tga" "$@" "write a $tga_dir/$name.tga"
}

run blank "blank a 160 100" "write a $tga_dir/blank.tga"
verb crop "crop a 100 10 159 69"
verb resize "resize a 3 2"
verb rotate "rotate a 30"
verb warp-pinch "warp a 1"
verb warp-swirl "warp a 2"
verb blur "blur a 5" "blur a 5" "blur a 5"
verb darken "darken a 0.5"
verb desaturate "desaturate a 1"
verb dissolve "dissolve a 0.4"
verb opaque "dissolve a 0.4" "opaque a"
verb fill "fill a 10 60 59 89 255 255 255 255" "fill a 100 10 149 39 0 0 255 128"
verb chromakey "read a $tga_dir/balloon.tga" "chromakey a 0 255 0"
verb composite "read b $tga_dir/balloon.tga" "chromakey b 0 255 0" "composite b over a 56 4"
verb fit "fit a 64 64"
verb scale "scale a 240 60"
run thumbnail "thumbnail a $root/examples/images/landscape.tga 96 96" "write a $tga_dir/thumbnail.tga"
# The painted canvas has alpha 0 throughout; its colours are kept as PPM too (which drops the alpha) for
# the PNG picture.
verb paint "paint a" "write a ppm:$work/paint-colours.ppm"
verb turn "turn a 90"
verb flip "flip a"
verb mirror "mirror a"
verb place "read b $tga_dir/balloon.tga" "chromakey b 0 255 0" "dissolve b 0.7" "place b a se 4 4"
verb pad "pad a 200 120 c 40 40 90 255"

if [[ $tga_only == 1 ]]; then
    exit 0
fi

# PNG files, made by the program itself: the input on the left, the result on the right, each with a
# 4-pixel margin, on a white ground (transparent pixels show white).

# size NAME: prints "WIDTH HEIGHT" of NAME.tga in the gallery's TGA folder.
size() {
    (cd "$work" && printf 'read a %s\ninfo a\n' "$tga_dir/$1.tga" >size.script &&
        "$program" size.script | sed -n 's/^Image size //p')
}

# side_by_side NAME BEFORE [AFTER_FILE]: BEFORE.tga and the result (NAME.tga, or AFTER_FILE) side by side.
side_by_side() {
    local name="$1" before="$2" after="${3:-$tga_dir/$1.tga}"
    local bw bh aw ah
    read -r bw bh <<<"$(size "$before")"
    (cd "$work" && printf 'read a %s\ninfo a\n' "$after" >size.script)
    read -r aw ah <<<"$(cd "$work" && "$program" size.script | sed -n 's/^Image size //p')"
    local width=$((bw + aw + 16)) height=$((bh > ah ? bh + 8 : ah + 8))
    run "png-$name" "blank c $width $height" "fill c 0 0 $((width - 1)) $((height - 1)) 255 255 255 255" \
        "read a $tga_dir/$before.tga" "composite a over c 4 4" "read b $after" \
        "composite b over c $((bw + 12)) 4" "write c png:$here/$name.png"
}

run png-landscape "read a $tga_dir/landscape.tga" "write a png:$here/landscape.png"
run png-blank "blank c 168 108" "fill c 0 0 167 107 255 255 255 255" "read a $tga_dir/blank.tga" \
    "composite a over c 4 4" "write c png:$here/blank.png"
for name in crop resize rotate warp-pinch warp-swirl blur darken desaturate dissolve opaque fill \
    composite fit scale thumbnail turn flip mirror place pad; do
    side_by_side "$name" landscape
done
side_by_side chromakey balloon
# The painted canvas, shown by its colours (its alpha is 0 throughout).
side_by_side paint landscape "$work/paint-colours.ppm"
echo "gallery made: $tga_dir and $here/*.png"
