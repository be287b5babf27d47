#!/usr/bin/env bash
# Usage: tests/fuzz/run.sh [TARGET] [SECONDS]
#
# Builds a fuzz target with clang++ (libFuzzer, address and undefined-behaviour sanitizers) in build-fuzz/
# (or in FUZZ_BUILD_DIR, a folder configured with -DCHROMALOOM_FUZZ=ON) and fuzzes it for SECONDS (default
# 60). TARGET is
#   tga     the TGA reader and writer, seeded from the TGA files under tests/data (the default),
#   script  the whole interpreter, seeded from the script cases under tests/e2e and from the test images
#           each followed by a short script that reads it,
#   png, pnm, jpeg, webp, gif, bmp, tiff, heif
#           that format's reader and writer, seeded from the small files of every variant under
#           tests/data/TARGET.
# The corpus grows in fuzz-corpus/TARGET/. Exits non-zero when the fuzzer finds a crash, a leak, undefined
# behaviour or an input slower than 30 seconds; the input that caused it is left in artifacts/ of the build folder.
set -euo pipefail

target=tga
if [[ $# -gt 0 && ! "$1" =~ ^[0-9]+$ ]]; then
    target="$1"
    shift
fi
seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
corpus="$root/fuzz-corpus/$target"

case "$target" in
tga | script | png | pnm | jpeg | webp | gif | bmp | tiff | heif) ;;
*)
    echo "unknown fuzz target: $target (tga, script, png, pnm, jpeg, webp, gif, bmp, tiff or heif)" >&2
    exit 2
    ;;
esac

# A build folder configured before (by CI, with the tests as well) is used as it is.
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCHROMALOOM_FUZZ=ON -DCHROMALOOM_TESTS=OFF -DCHROMALOOM_BENCH=OFF >/dev/null
fi
# FUZZ_NO_BUILD=1 when the target is built already (CI runs several targets at once from one build).
[[ "${FUZZ_NO_BUILD:-}" == 1 ]] || cmake --build "$build" --target "chromaloom_${target}_fuzz" -j"$(nproc)"

mkdir -p "$corpus" "$build/artifacts"
if [[ "$target" == tga ]]; then
    find "$root/tests/data" -name '*.tga' -exec cp -f {} "$corpus/" \;
elif [[ "$target" != script ]]; then
    cp -f "$root/tests/data/$target"/* "$corpus/"
else
    while IFS= read -r -d '' case_file; do
        cp -f "$case_file" "$corpus/e2e-$(basename "$(dirname "$case_file")")-$(basename "$case_file")"
    done < <(find "$root/tests/e2e" \( -name '*.script' -o -name '*.stdin' \) -print0)
    for image in "$root"/tests/data/*.tga; do
        { cat "$image"; printf '\n--script--\nread a in.tga\ninfo a\nblur a 3\nrotate a b 30\nwrite b out.tga\n'; } \
            >"$corpus/image-$(basename "$image")"
    done
fi

# The interpreter's target works in a folder of its own, in memory where the system offers one.
scratch="$(mktemp -d "$( [[ -d /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/chromaloom-fuzz-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
options=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1 -artifact_prefix="$build/artifacts/")
# The verbs and the tokens they take, so that mutations make lines the interpreter runs.
if [[ "$target" == script ]]; then
    options+=(-dict="$root/tests/fuzz/script.dict")
fi
CHROMALOOM_FUZZ_DIR="$scratch" "$build/tests/fuzz/chromaloom_${target}_fuzz" "${options[@]}" "$corpus"
