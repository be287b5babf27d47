#!/usr/bin/env bash
# Runs the batch driver with xargs over a handful of images made by the program, one of them cut short in
# its header: the good ones are processed exactly as a single run would, the broken one is reported with
# its messages, and the exit status says that a file failed. Without the broken file the status is 0.
#   tests/docs/batch_check.sh PROGRAM
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
program="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir in
"$program" >/dev/null <<'END'
blank a 4 3
fill a 0 0 1 1 200 100 50 255
write a in/one.tga
blank a 7 2
fill a 3 0 6 1 10 220 90 255
write a in/two.tga
blank a 3 5
write a in/three.tga
END
head -c 10 in/one.tga >in/broken.tga

fail() {
    echo "$1"
    echo "--- the driver's output:"
    cat report
    exit 1
}

status=0
CHROMALOOM="$program" bash "$root/examples/batch/run.sh" --xargs -j 2 "$root/examples/batch/template.script" \
    in out >report 2>&1 || status=$?
[[ $status == 1 ]] || fail "the driver exited with $status, not 1"
grep -qx 'FAILED in/broken.tga' report || fail "the broken file is not reported"
grep -qx "    Error (line [0-9]*): can't read image! (bad image header)" report || fail "its message is missing"
! grep -q 'FAILED in/\(one\|two\|three\)' report || fail "a good file is reported as failed"
grep -qx '3 of 4 files done, 1 failed' report || fail "the summary is wrong"
[[ ! -e out/broken.tga ]] || fail "the broken file has an output"

# Each output is what one run of the filled-in template makes.
for name in one two three; do
    sed "s|@IN@|in/$name.tga|; s|@OUT@|expected.tga|" "$root/examples/batch/template.script" >single.script
    "$program" single.script >/dev/null
    cmp expected.tga "out/$name.tga" || fail "out/$name.tga differs from a single run"
done

rm in/broken.tga
CHROMALOOM="$program" bash "$root/examples/batch/run.sh" --xargs "$root/examples/batch/template.script" \
    in out >report 2>&1 || fail "the driver failed with only good files"
grep -qx '3 of 3 files done, 0 failed' report || fail "the summary is wrong"
