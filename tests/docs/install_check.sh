#!/usr/bin/env bash
# Installs the build into a scratch prefix and runs the demo with the installed program, the way the
# documentation tells users to: a working folder holding the scripts and pictures, where paint finds its
# texture in the installed data folder. Then paints from an empty folder, with the script elsewhere.
#   tests/docs/install_check.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake="$1" build="$2" source="$3"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
doc="$prefix/share/doc/chromaloom"
for file in bin/chromaloom share/man/man1/chromaloom.1 share/doc/chromaloom/language.md \
    share/doc/chromaloom/gallery/README.md share/chromaloom/requiredimages/texture.tga \
    share/doc/chromaloom/examples/demo.script share/doc/chromaloom/examples/images/landscape.jpg \
    share/doc/chromaloom/examples/batch/run.sh; do
    [[ -f "$prefix/$file" ]] || { echo "not installed: $file"; exit 1; }
done
[[ -x "$doc/examples/batch/run.sh" ]] || { echo "the installed batch driver cannot be run"; exit 1; }

# Every link of every installed page leads to an installed file (anchors and web addresses aside).
while IFS= read -r page; do
    while IFS= read -r target; do
        target="${target%%#*}"
        [[ -z "$target" || "$target" == http* ]] && continue
        [[ -e "$(dirname "$page")/$target" ]] || { echo "dead link in ${page#"$prefix"/}: $target"; exit 1; }
    done < <(grep -oE '\]\([^)]*\)' "$page" | sed -E 's/^\]\(//; s/\)$//')
done < <(find "$doc" -name '*.md')

# The installed demo, copied into a working folder as the README says.
work="$scratch/work"
mkdir -p "$work/build"
cp -R "$doc/examples" "$work/examples"
output="$(cd "$work" && "$prefix/bin/chromaloom" examples/demo.script)"
if grep -q '^Error' <<<"$output"; then
    echo "the installed program failed on the demo:"
    echo "$output"
    exit 1
fi
# The demo writes six PNG pictures, the last of them painted on the installed texture.
pictures=("$work"/build/demo-*.png)
[[ ${#pictures[@]} == 6 && -s "$work/build/demo-painted.png" ]] || {
    echo "the demo wrote ${#pictures[@]} pictures"
    exit 1
}
[[ ! -e "$work/requiredimages" ]] || { echo "the demo made a requiredimages folder"; exit 1; }

# paint in a folder that holds nothing, the script and its picture elsewhere: the installed texture is found,
# and out.png, named by its extension, is a PNG file.
empty="$scratch/empty"
mkdir "$empty"
printf 'read a %s\npaint a\nwrite a out.png\n' "$doc/examples/images/balloon.png" >"$scratch/paint.script"
output="$(cd "$empty" && "$prefix/bin/chromaloom" "$scratch/paint.script")"
if grep -q '^Error' <<<"$output"; then
    echo "the installed program could not paint in an empty folder:"
    echo "$output"
    exit 1
fi
[[ "$(head -c 4 "$empty/out.png" | od -An -c | tr -d ' ')" == '211PNG' ]] || {
    echo "paint in an empty folder wrote no PNG file"
    exit 1
}
echo "installed into $prefix, ran the demo and painted in an empty folder"
