#!/usr/bin/env bash
# Builds the TGA reader fuzz target with clang++ (libFuzzer, address and undefined-behaviour sanitizers)
# in build-fuzz/, seeds fuzz-corpus/ from the TGA files under tests/data and fuzzes for SECONDS (default
# 60). Exits non-zero when the fuzzer finds a crash, a leak or undefined behaviour; the input that caused
# it is left in build-fuzz/artifacts/.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build-fuzz"
corpus="$root/fuzz-corpus"

CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCHROMALOOM_FUZZ=ON -DCHROMALOOM_TESTS=OFF -DCHROMALOOM_BENCH=OFF >/dev/null
cmake --build "$build" --target chromaloom_tga_fuzz -j"$(nproc)"

mkdir -p "$corpus" "$build/artifacts"
find "$root/tests/data" -name '*.tga' -exec cp -f {} "$corpus/" \;

"$build/tests/fuzz/chromaloom_tga_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" "$corpus"
