#!/usr/bin/env bash
# Makes the gallery: one small picture per verb, each made by a two- or three-line script from the bundled
# landscape and balloon, the landscape reduced to 160 x 100 by the program itself.
#
#   docs/gallery/make.sh [PROGRAM]              TGA files into docs/gallery/tga/, PNG files into docs/gallery/
#   docs/gallery/make.sh --tga-only DIR [PROGRAM]   only the TGA files, into DIR (the check in the tests)
#
# PROGRAM defaults to build/chromaloom. The PNG files are made with GraphicsMagick (`gm convert`) when it is
# installed; the program itself needs nothing of it. Every script runs in a scratch folder that links the
# repository's requiredimages/, because paint reads its texture from there (and leaves brushstroke.tga
# behind, which is thrown away). Any "Error (line" in a script's output fails the whole run.
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
verb paint "paint a"

if [[ $tga_only == 1 ]]; then
    exit 0
fi
if ! command -v gm >/dev/null; then
    echo "$0: GraphicsMagick (gm) is not installed: TGA files made, PNG files not" >&2
    exit 0
fi

# PNG files: the input on the left, the result on the right, on a white ground (transparent pixels show
# white). The painted canvas has alpha 0 throughout, so its colours are shown with alpha ignored (+matte).
png() {
    local name="$1" before="$2" matte="${3:-}"
    gm convert -background white "$tga_dir/$before.tga" ${matte:+"$matte"} "$tga_dir/$name.tga" ${matte:+"$matte"} \
        -bordercolor white -border 4 +append -flatten "$here/$name.png"
}
gm convert "$tga_dir/landscape.tga" "$here/landscape.png"
gm convert "$tga_dir/blank.tga" -bordercolor white -border 4 "$here/blank.png"
for name in crop resize rotate warp-pinch warp-swirl blur darken desaturate dissolve opaque fill \
    composite; do
    png "$name" landscape
done
png chromakey balloon
png paint landscape +matte
echo "gallery made: $tga_dir and $here/*.png"
