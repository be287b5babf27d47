#!/usr/bin/env bash
# Runs the batch driver over a folder of images made by the program, in every format it reads and with
# extensions in any letter case, beside files that must fail: cut short in the header or in the pixels,
# named with a newline, ended by the program with a status and no message, two with one output; and files
# that must be skipped for their extension. The good ones must come out exactly as a single run of the
# template makes them, under their expected names; every failed one must be reported with its messages,
# every skipped one listed; the exit status must be 1, and 0 once only good files are left. Besides: -f,
# the memory share of each run, a wrong command line (status 2, nothing run), a scratch folder that cannot
# be made or is full (status 1, with the report), and the status of folders without images. TIFF and AVIF
# outputs are checked when the program writes them. The driver and its template lie in a folder whose name
# holds a blank.
#   tests/docs/batch_check.sh PROGRAM [RUNNER ...]
# RUNNER is xargs or parallel; without one, xargs and, when it is installed, GNU parallel.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
program="$(realpath "$1")"
shift
runners=("$@")
if ((${#runners[@]} == 0)); then
    runners=(xargs)
    if parallel --version 2>/dev/null | grep -q 'GNU parallel'; then
        runners+=(parallel)
    else
        echo "GNU parallel is not installed: the driver is checked with xargs only"
    fi
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir "driver dir"
cp "$root/examples/batch/run.sh" "$root/examples/batch/template.script" "driver dir/"
driver="$work/driver dir/run.sh"
template="$work/driver dir/template.script"

fail() {
    echo "$1"
    echo "--- the driver's output:"
    cat report
    exit 1
}
# drive [VARIABLE=VALUE ...] -- ARGUMENTS: runs the driver, its output in report, its status in $status.
drive() {
    local settings=()
    while [[ "$1" != -- ]]; do settings+=("$1"); shift; done
    shift
    status=0
    # The driver as a user runs it, who has set no thread count unless a setting says so.
    env -u CHROMALOOM_THREADS CHROMALOOM="$work/program" "${settings[@]}" bash "$driver" "$@" >report 2>&1 ||
        status=$?
}

# The program as the driver sees it: records each run's memory limit, and a run whose input is named
# quiet* ends with status 3 and says nothing, as a crashed or killed run may.
cat >program <<END
#!/usr/bin/env bash
printf '%s\n' "\${CHROMALOOM_MEMORY_LIMIT-unset}" >>"$work/limits"
printf '%s\n' "\${CHROMALOOM_THREADS-unset}" >>"$work/threads"
case "\${@: -2:1}" in
*/quiet*) "$program" "\$@" >/dev/null 2>&1; exit 3 ;;
esac
exec "$program" "\$@"
END
chmod +x program

memory=$(($(awk '$1 == "MemTotal:" { print $2 }' /proc/meminfo) * 1024))
long="$(printf 'l%.0s' {1..250}).TGA" # 254 bytes: a script line naming it would be longer than 255
mkdir in
"$program" --strict --quiet - in/one.tga in/Two.PNG in/three.JpEg in/four.webp in/Five.PAM in/six.pnm \
    in/seven.PGM "in/a b ü.tga" $'in/new\nline.tga' <<'END'
blank a 4 3
fill a 0 0 1 1 200 100 50 255
write a $1
write a png:$2
write a jpg:$3
write a webp:$4
write a pam:$5
write a ppm:$6
write a pgm:$7
write a $8
write a $9
END
"$program" --strict --quiet - "in/$long" in/nine.PPM in/both.tga in/both.png <<'END'
blank a 7 2
fill a 3 0 6 1 10 220 90 255
write a $1
write a ppm:$2
write a $3
write a png:$4
END
printf 'P1\n3 2\n1 0 1\n0 1 0\n' >in/eight.Pbm
# The program tells a format from the content, so a PNG file under these names is read all the same; none
# of them is written, and each becomes a PNG file.
for name in g.gif B.BMP d.Dib h.HEIC i.heif j.Hif clash.gif; do
    cp in/Two.PNG "in/$name"
done
cp in/Two.PNG in/clash.png
cp in/one.tga in/x.tga
cp in/one.tga in/x.TGA
cp in/one.tga in/quiet.tga
head -c 10 in/one.tga >in/broken.tga
head -c -4 in/one.tga >in/cut.tga
head -c 20 in/Two.PNG >$'in/bro\nken.png'
# Skipped for their extension, and listed in the order of their names, quoted as the failed ones are.
skipped=(.DS_Store README "a b.psd" notes.txt $'odd\nname.txt' x.psd)
for name in "${skipped[@]}"; do
    echo 'not an image' >"in/$name"
done
mkdir in/folder.png
ln -s one.tga in/link.tga
cat >skipped_list <<'END'
SKIPPED in/.DS_Store
SKIPPED in/README
SKIPPED in/a b.psd
SKIPPED in/notes.txt
SKIPPED $'in/odd\nname.txt'
SKIPPED in/x.psd
END
mkdir pair
cp in/one.tga pair/good.tga
cp in/broken.tga pair/broken.tga
# Input name, output name, the format written.
good=(
    one.tga one.tga tga
    Two.PNG Two.png png
    three.JpEg three.jpg jpg
    four.webp four.webp webp
    Five.PAM Five.pam pam
    six.pnm six.pam pam
    seven.PGM seven.pgm pgm
    eight.Pbm eight.pam pam
    nine.PPM nine.ppm ppm
    "a b ü.tga" "a b ü.tga" tga
    $'new\nline.tga' $'new\nline.tga' tga
    "$long" "${long%.TGA}.tga" tga
    both.tga both.tga tga
    both.png both.png png
    g.gif g.png png
    B.BMP B.png png
    d.Dib d.png png
    h.HEIC h.png png
    i.heif i.png png
    j.Hif j.png png
)
# Whether two files are the same, byte for byte: the same script gives the same bytes in every run, in
# every format. Of two AVIF files only the pixels are compared, which the encoder must keep, whatever it
# does with the rest.
same_image() {
    if [[ "$1" == *.avif ]]; then
        [[ -e "$2" ]] && "$program" --strict --quiet - "$1" "$2" "$work/1.pam" "$work/2.pam" <<'END' &&
read a $1
read b $2
write a pam:$3
write b pam:$4
END
            cmp -s "$work/1.pam" "$work/2.pam"
    else
        cmp -s "$1" "$2"
    fi
}
# Whether the program writes a format (PREFIX EXTENSION), as a file of that format starts.
writes() {
    rm -f "probe.$2"
    "$program" --strict --quiet - "$1:probe.$2" <<<$'blank a 2 2\nwrite a $1' >/dev/null 2>&1 || true
    case "$2" in
    tif) [[ "$(head -c 4 "probe.$2" 2>/dev/null | od -An -tx1 | tr -d ' ')" =~ ^(49492a00|4d4d002a)$ ]] ;;
    avif) [[ "$(head -c 12 "probe.$2" 2>/dev/null | tail -c 8)" == ftypavi[fs] ]] ;;
    esac
}
# Each output must be what one run of the template makes of its input (made once, in expected/).
check_outputs() { # OUTPUT_DIR NAME OUTPUT FORMAT ...
    local dir="$1"
    shift
    while (($# > 0)); do
        mkdir -p "expected/$3"
        [[ -e "expected/$3/$2" ]] || "$program" --strict --quiet "$template" "in/$1" "$3:expected/$3/$2" ||
            fail "a single run of in/$1 failed"
        same_image "expected/$3/$2" "$dir/$2" ||
            fail "$dir/$2 is missing or differs from a single run of in/$1"
        shift 3
    done
}
for runner in "${runners[@]}"; do
    echo "== $runner"
    rm -rf out limits
    drive -- "--$runner" -j 2 "$template" in out
    [[ $status == 1 ]] || fail "the driver exited with $status, not 1"
    grep -qx '20 of 28 files done, 8 failed; 6 other files skipped for their extension' report ||
        fail "the summary is wrong"
    [[ $(grep -c '^FAILED' report) == 8 ]] || fail "not 8 files are reported as failed"
    grep '^SKIPPED' report | cmp -s - skipped_list ||
        fail "the skipped files are not listed, in order, each once"
    [[ ! -e out/link.tga && ! -e out/notes.png ]] || fail "a link or a skipped file has an output"
    grep -A1 -x 'FAILED in/broken.tga' report |
        grep -qx "    Error (line [0-9]*): can't read image 'in/broken.tga': bad image header" ||
        fail "the file cut short in its header is not reported with its message"
    grep -A1 -x 'FAILED in/cut.tga' report |
        grep -qx "    Error (line [0-9]*): can't read image 'in/cut.tga': unexpected end-of-file" ||
        fail "the file cut short in its pixels is not reported with its message"
    grep -A1 -Fx "FAILED \$'in/bro\\nken.png'" report | grep -q "can't read image 'in/bro$" ||
        fail "the broken file named with a newline is not reported with its message"
    grep -A1 -x 'FAILED in/quiet.tga' report | grep -qx '    (the program ended with status 3)' ||
        fail "a run that ended with status 3 and no message is not reported"
    grep -A1 -x 'FAILED in/x.tga' report | grep -qx '    not run: in/x.TGA has the same output, out/x.tga' ||
        fail "x.tga is not reported as sharing its output with x.TGA"
    grep -A1 -x 'FAILED in/x.TGA' report | grep -qx '    not run: in/x.tga has the same output, out/x.tga' ||
        fail "x.TGA is not reported as sharing its output with x.tga"
    grep -A1 -x 'FAILED in/clash.gif' report |
        grep -qx '    not run: in/clash.png has the same output, out/clash.png' ||
        fail "clash.gif is not reported as sharing its output with clash.png"
    [[ ! -e out/x.tga && ! -e out/broken.tga && ! -e out/cut.tga ]] || fail "a failed file has an output"
    check_outputs out "${good[@]}"
    # Of two runs at once, each may take at most half of three quarters of the machine's memory.
    [[ $(sort -u limits | wc -l) == 1 ]] || fail "the runs had different memory limits: $(sort -u limits)"
    share="$(head -n 1 limits)"
    [[ "$share" =~ ^[0-9]+$ ]] && ((share > 0 && share * 2 <= memory / 4 * 3)) ||
        fail "two runs at once were given $share bytes each, of $memory"
    if [[ $runner == parallel ]]; then
        ! grep -q $'\r' report || fail "GNU parallel's progress bar is shown with standard error in a file"
        if script -qec true /dev/null </dev/null >/dev/null 2>&1; then # a terminal to be had
            command="$(printf '%q ' bash "$driver" --parallel -j 2 "$template" pair out)"
            CHROMALOOM="$work/program" script -qec "$command" /dev/null >report </dev/null || true
            grep -q '100%' report || fail "GNU parallel's progress bar is not shown on a terminal"
        fi
    fi
done

# -f: one format for all, and so one output for both.tga and both.png.
mkdir few
cp in/one.tga in/three.JpEg "in/$long" in/both.tga in/both.png few/
rm -rf out
drive -- --xargs -f WEBP80 -j 2 "$template" few out
[[ $status == 1 ]] || fail "the driver exited with $status, not 1, under -f"
grep -A1 -x 'FAILED few/both.png' report |
    grep -qx '    not run: few/both.tga has the same output, out/both.webp' ||
    fail "both.png and both.tga are not reported as sharing their output under -f webp80"
grep -qx '3 of 5 files done, 2 failed' report || fail "the summary is wrong under -f"
check_outputs out one.tga one.webp webp80 three.JpEg three.webp webp80 "$long" "${long%.TGA}.webp" webp80

# The output of each -f, seen in the report of two inputs left out for having the same one; -f tif and -f
# avif are taken before the program writes them, as nothing is run.
mkdir clash
cp in/one.tga clash/x.tga
cp in/Two.PNG clash/x.png
formats=(
    tif tif TIFF tif avif avif AVIF60 avif avif1 avif avif100 avif webp80 webp JPEG jpg jpg85 jpg pgm pgm
)
for ((k = 0; k < ${#formats[@]}; k += 2)); do
    rm -f limits
    drive -- --xargs -f "${formats[k]}" "$template" clash out
    [[ $status == 1 && ! -e limits ]] ||
        fail "-f ${formats[k]}: the driver exited with $status, or ran a file"
    grep -A1 -x 'FAILED clash/x.png' report |
        grep -qx "    not run: clash/x.tga has the same output, out/x.${formats[k + 1]}" ||
        fail "-f ${formats[k]} does not write out/x.${formats[k + 1]}"
done
# Without -f a .tif and a .TIFF file are both written as .tif.
mkdir tifclash
cp in/Two.PNG tifclash/x.tif
cp in/Two.PNG tifclash/x.TIFF
drive -- --xargs "$template" tifclash out
grep -A1 -x 'FAILED tifclash/x.TIFF' report |
    grep -qx '    not run: tifclash/x.tif has the same output, out/x.tif' ||
    fail "x.tif and x.TIFF are not reported as sharing their output"

# TIFF and AVIF files, in any letter case, are inputs; without -f they keep their format once the program
# writes it.
mkdir tiffs avifs
cp in/Two.PNG tiffs/t.TIFF
cp in/one.tga tiffs/u.tif
cp in/Two.PNG avifs/v.AVIF
cp in/one.tga avifs/w.avif
rm -rf out
drive -- --xargs -f png "$template" tiffs out
[[ $status == 0 ]] && grep -qx '2 of 2 files done, 0 failed' report || fail "TIFF inputs are not run"
check_outputs out ../tiffs/t.TIFF t.png png ../tiffs/u.tif u.png png
drive -- --xargs -f png "$template" avifs out
[[ $status == 0 ]] && grep -qx '2 of 2 files done, 0 failed' report || fail "AVIF inputs are not run"
check_outputs out ../avifs/v.AVIF v.png png ../avifs/w.avif w.png png
# Kind, its own folder, a -f word and the prefix it stands for, the folder run under -f, and that folder's
# names, as inputs and outputs.
written=(
    tif tiffs TIFF tif avifs "../avifs/v.AVIF v.tif ../avifs/w.avif w.tif"
    avif avifs AVIF50 avif50 tiffs "../tiffs/t.TIFF t.avif ../tiffs/u.tif u.avif"
)
for ((k = 0; k < ${#written[@]}; k += 6)); do
    kind="${written[k]}" own="${written[k + 1]}" word="${written[k + 2]}" prefix="${written[k + 3]}"
    other="${written[k + 4]}"
    if ! writes "$kind" "$kind"; then
        echo "the program writes no $kind yet: the driver's $kind outputs are not checked"
        continue
    fi
    rm -rf out
    drive -- --xargs "$template" "$own" out
    [[ $status == 0 ]] && grep -qx '2 of 2 files done, 0 failed' report ||
        fail "the files of $own/ were not run without -f"
    for name in "$own"/*; do
        name="${name#*/}"
        check_outputs out "../$own/$name" "${name%.*}.$kind" "$kind"
    done
    drive -- --xargs -f "$word" "$template" "$other" out
    [[ $status == 0 ]] && grep -qx '2 of 2 files done, 0 failed' report ||
        fail "the files of $other/ were not run under -f $word"
    read -ra pairs <<<"${written[k + 5]}"
    for ((p = 0; p < ${#pairs[@]}; p += 2)); do
        check_outputs out "${pairs[p]}" "${pairs[p + 1]}" "$prefix"
    done
done

# What the runs were given, as the program's stand-in recorded it in FILE (limits or threads).
given_with() { # FILE JOBS [VARIABLE=VALUE ...]
    rm -f "$1"
    drive "${@:3}" -- --xargs -j "$2" "$template" pair out
    sort -u "$1"
}
# Each run's share of the memory: a third with three at once, all of it with one, the user's value if set.
limit_with() { given_with limits "$@"; }
one="$(limit_with 1)"
three="$(limit_with 3)"
((three == one / 3 && one <= memory / 4 * 3)) || fail "one run was given $one bytes, one of three $three"
[[ "$(limit_with 2 CHROMALOOM_MEMORY_LIMIT=5M)" == 5M ]] || fail "the user's memory limit was not kept"
# Each run's share of the processors: up to all of them with one run at once, never less than one thread,
# the user's count as it is.
threads_with() { given_with threads "$@"; }
cpus="$(nproc)"
one="$(threads_with 1)"
[[ "$one" =~ ^[0-9]+$ ]] && ((one >= 1 && one <= cpus)) || fail "one run alone was given $one threads of $cpus"
[[ "$(threads_with $((cpus + 1)))" == 1 ]] || fail "runs beyond the processors were not given one thread each"
[[ "$(threads_with 2 CHROMALOOM_THREADS=5)" == 5 ]] || fail "the user's thread count was not kept"
# In a system of 8 GiB whose memory control group may have 2 GiB, two runs at once get 768 MiB each; and
# 384 MiB each under 1 GiB in the older layout, where the group of the process has no limit of its own.
faked() { # MEMINFO_KB LAYOUT: the layout is made under /sys/fs/cgroup, mounted afresh
    unshare -m bash -c 'printf "MemTotal: %s kB\n" "$1" >meminfo && mount --bind meminfo /proc/meminfo &&
        mount -t tmpfs none /sys/fs/cgroup && eval "$2" && export CHROMALOOM="$3" && shift 3 &&
        rm -f limits && bash "$@" >report 2>&1; sort -u limits' \
        - "$1" "$2" "$work/program" "$driver" --xargs -j 2 "$template" pair out
}
if [[ $(id -u) == 0 ]] && unshare -m true 2>/dev/null; then
    if grep -q '^0::' /proc/self/cgroup; then
        got="$(faked 8388608 'g=/sys/fs/cgroup && touch $g/cgroup.controllers && echo 2147483648 >$g/memory.max')"
        [[ "$got" == 805306368 ]] || fail "under a 2 GiB control group each of two runs was given $got bytes"
    fi
    group="$(awk -F: '$2 ~ /(^|,)memory(,|$)/ { print $3 }' /proc/self/cgroup)"
    if [[ -n "$group" ]]; then
        memory_group="/sys/fs/cgroup/memory$group"
        got="$(faked 8388608 "mkdir -p $memory_group &&
            echo 1073741824 >/sys/fs/cgroup/memory/memory.limit_in_bytes &&
            echo 9223372036854771712 >$memory_group/memory.limit_in_bytes")"
        [[ "$got" == 402653184 ]] ||
            fail "under a 1 GiB older control group each of two runs was given $got bytes"
    fi
else
    echo "not root, or no mount namespace: the memory share is not checked in a faked system"
fi

# A wrong command line runs nothing and ends with status 2.
refused() {
    drive -- "$@"
    [[ $status == 2 ]] || fail "run.sh $* exited with $status, not 2"
    [[ ! -e never && ! -e pair/sub ]] || fail "run.sh $* made its output folder"
}
refused -j x "$template" pair never
refused -j 0 "$template" pair never
# Formats the program reads but does not write, qualities out of range or where none is taken.
for word in gif bmp heic webp101 avif0 avif101 tif85 tiff80 png9; do
    refused -f "$word" "$template" pair never
done
refused "$work/no template" pair never
refused "$template" pair pair
refused "$template" pair ./pair/sub/
refused "$template" / never

# Folders without images. Folder, its files (a name ending in / is a sub-folder), status, summary.
folders=(
    none "" 0 '0 of 0 files done, 0 failed'
    subs "sub.png/ sub/" 0 '0 of 0 files done, 0 failed'
    other "x.psd" 1 '0 of 0 files done, 0 failed; 1 other file skipped for its extension'
    others "notes.txt .DS_Store" 1 '0 of 0 files done, 0 failed; 2 other files skipped for their extension'
    good "good.tga notes.txt" 0 '1 of 1 files done, 0 failed; 1 other file skipped for its extension'
    bad "broken.tga notes.txt" 1 '0 of 1 files done, 1 failed; 1 other file skipped for its extension'
)
for ((k = 0; k < ${#folders[@]}; k += 4)); do
    folder="folders/${folders[k]}"
    mkdir -p "$folder"
    for name in ${folders[k + 1]}; do
        case "$name" in
        */) mkdir "$folder/$name" ;;
        *.tga) cp "pair/$name" "$folder/" ;;
        *) echo 'not an image' >"$folder/$name" ;;
        esac
    done
    for runner in "${runners[@]}"; do
        rm -rf out limits
        drive -- "--$runner" "$template" "$folder" out
        [[ $status == "${folders[k + 2]}" ]] ||
            fail "$folder, $runner: the driver exited with $status, not ${folders[k + 2]}"
        [[ "$(tail -n 1 report)" == "${folders[k + 3]}" ]] || fail "$folder, $runner: the summary is wrong"
        [[ -e limits || ${folders[k + 3]} == '0 of 0'* ]] || fail "$folder, $runner: the image was not run"
        [[ ! -e limits || ${folders[k + 3]} != '0 of 0'* ]] || fail "$folder, $runner: a file was run"
    done
done

# No scratch folder, or a full one: every file is still accounted for, and the status is 1.
drive TMPDIR="$work/no folder" -- --xargs -j 2 "$template" pair out
[[ $status == 1 ]] && grep -qx '0 of 2 files done, 2 failed' report ||
    fail "without a scratch folder the driver exited with $status, or its summary is wrong"
if [[ $(id -u) == 0 ]] && unshare -m true 2>/dev/null; then
    mkdir full
    for runner in "${runners[@]}"; do
        status=0
        unshare -m bash -c 'mount -t tmpfs -o size=64k none full &&
            { cat /dev/zero >full/zeros; true; } 2>/dev/null &&
            env TMPDIR="$PWD/full" CHROMALOOM="$1" bash "${@:2}"' \
            - "$work/program" "$driver" "--$runner" -j 2 "$template" pair out >report 2>&1 || status=$?
        [[ $status == 1 ]] ||
            fail "with a full scratch folder, $runner: the driver exited with $status, not 1"
        grep -A1 -x 'FAILED pair/broken.tga' report | grep -q '^    ' ||
            fail "with a full scratch folder, $runner: the broken file is not reported"
        grep -qx '[01] of 2 files done, [12] failed' report ||
            fail "with a full scratch folder, $runner: the summary is wrong"
    done
fi

rm pair/broken.tga
drive -- "--${runners[0]}" "$template" pair out
[[ $status == 0 ]] || fail "the driver exited with $status with only good files"
grep -qx '1 of 1 files done, 0 failed' report || fail "the summary is wrong with only good files"
echo "the batch driver works with ${runners[*]}"
