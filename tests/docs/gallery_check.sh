#!/usr/bin/env bash
# Remakes the gallery's TGA files with the program under test and compares them, byte for byte, with the
# ones committed in docs/gallery/tga/: the same files, the same bytes.
#   tests/docs/gallery_check.sh PROGRAM
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
program="$1"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

bash "$root/docs/gallery/make.sh" --tga-only "$out" "$program"

status=0
if ! diff <(cd "$root/docs/gallery/tga" && ls) <(cd "$out" && ls); then
    echo "the gallery's files differ from docs/gallery/tga/ (< committed, > made)"
    status=1
fi
for made in "$out"/*.tga; do
    name="$(basename "$made")"
    if [[ -f "$root/docs/gallery/tga/$name" ]] && ! cmp "$root/docs/gallery/tga/$name" "$made"; then
        echo "docs/gallery/tga/$name differs from what the program makes now"
        status=1
    fi
done
exit "$status"
