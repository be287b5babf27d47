#!/usr/bin/env bash
# Installs the build into a scratch prefix and runs the demo with the installed program, the way the
# documentation tells users to: a working folder holding the scripts and pictures, with the installed
# requiredimages/ linked in for paint.
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
ln -s "$prefix/share/chromaloom/requiredimages" "$work/requiredimages"
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
echo "installed into $prefix and ran the demo"
