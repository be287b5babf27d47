#!/usr/bin/env bash
# The batch driver on another machine: GNU parallel sends every run over ssh, as the README's recipe for
# several machines does, to an sshd that this check starts on a loopback port with a throwaway host key and
# login key. The other machine is this one, so the folders are shared as a network file system shares them
# between real machines. Every run must have come through ssh, with the settings the driver sends along (the
# memory share, or the user's own limit); the outputs must be what single runs make, names with blanks,
# quotes, letters of any language and a newline included; the broken file must be reported with its
# messages and the status must be 1.
#   tests/docs/batch_ssh_check.sh PROGRAM
# Skipped (status 77) without sshd (Debian package openssh-server), ssh and ssh-keygen, or GNU parallel, and
# when not run as root, the one user such an sshd lets log in here without further set-up.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
program="$(realpath "$1")"
skip() {
    echo "skipped: $1"
    exit 77
}
sshd=/usr/sbin/sshd
[[ -x "$sshd" ]] || skip "no $sshd"
command -v ssh >/dev/null && command -v ssh-keygen >/dev/null || skip "no ssh or ssh-keygen"
parallel --version 2>/dev/null | grep -q 'GNU parallel' || skip "GNU parallel is not installed"
[[ $(id -u) == 0 ]] || skip "not root"

work="$(mktemp -d)"
sshd_pid=""
finish() {
    [[ -z "$sshd_pid" ]] || kill "$sshd_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT
cd "$work"
fail() {
    echo "$1"
    for file in report sshd.log; do
        [[ -e $file ]] && echo "--- $file:" && cat "$file"
    done
    exit 1
}
# Whether two files are the same, byte for byte: the same script gives the same bytes in every run, in
# every format.
same_image() { cmp -s "$1" "$2"; }

ssh-keygen -q -t ed25519 -N '' -C '' -f host_key
ssh-keygen -q -t ed25519 -N '' -C '' -f login_key
cp login_key.pub authorized_keys
cat >sshd_config <<END
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile none
StrictModes no
UsePAM no
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PrintMotd no
X11Forwarding no
AllowTcpForwarding no
MaxStartups 50
END
# sshd refuses to start as root without its privilege separation folder, which its service makes at start.
mkdir -p /run/sshd
# A port of the loopback that is free: sshd ends at once when the one drawn is taken, and another is drawn.
for _ in {1..5}; do
    port=$((20000 + RANDOM % 40000))
    "$sshd" -D -e -f sshd_config -p "$port" 2>sshd.log &
    sshd_pid=$!
    for _ in {1..100}; do
        grep -qs 'Server listening' sshd.log && break 2
        kill -0 "$sshd_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
    sshd_pid=""
done
[[ -n "$sshd_pid" ]] || fail "sshd did not start"
login="ssh -F /dev/null -p $port -i $work/login_key -o IdentitiesOnly=yes -o BatchMode=yes -o LogLevel=ERROR"
login+=" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null root@127.0.0.1"
$login true || fail "cannot log in over ssh"
echo "$login" >hosts

# The driver and its template in a folder whose name holds a blank; the program records, for each run,
# whether it came over ssh and the memory limit it was given.
mkdir "driver dir"
cp "$root/examples/batch/run.sh" "$root/examples/batch/template.script" "driver dir/"
driver="$work/driver dir/run.sh"
template="$work/driver dir/template.script"
cat >program <<END
#!/usr/bin/env bash
printf '%s %s\n' "\${SSH_CONNECTION:+ssh}" "\${CHROMALOOM_MEMORY_LIMIT-unset}" >>"$work/runs"
exec "$program" "\$@"
END
chmod +x program
mkdir in
"$program" --strict --quiet - in/one.tga "in/it's à b.PNG" $'in/new\nline.tga' <<'END'
blank a 5 4
fill a 1 1 3 2 30 160 240 255
write a $1
write a png:$2
write a $3
END
head -c 12 in/one.tga >in/broken.tga

status=0
PARALLEL="--sshloginfile $work/hosts" CHROMALOOM="$work/program" \
    bash "$driver" --parallel -j 2 "$template" in out >report 2>&1 || status=$?
[[ $status == 1 ]] || fail "the driver exited with $status, not 1"
grep -qx '3 of 4 files done, 1 failed' report || fail "the summary is wrong"
grep -A1 -x 'FAILED in/broken.tga' report |
    grep -qx "    Error (line [0-9]*): can't read image 'in/broken.tga': bad image header" ||
    fail "the broken file is not reported with its message"
[[ $(grep -c '^ssh [0-9][0-9]*$' runs) == 4 ]] ||
    fail "not every run came over ssh with a memory share: $(cat runs)"
for file in one.tga:one.tga "it's à b.PNG:it's à b.png" $'new\nline.tga:new\nline.tga'; do
    input="${file%%:*}" output="${file#*:}"
    format="${output##*.}"
    "$program" --strict --quiet "$template" "in/$input" "$format:expected" ||
        fail "a single run of in/$input failed"
    same_image expected "out/$output" ||
        fail "out/$output is missing or differs from a single run of in/$input"
done

rm in/broken.tga in/one.tga $'in/new\nline.tga' runs
status=0
PARALLEL="--sshloginfile $work/hosts" CHROMALOOM="$work/program" CHROMALOOM_MEMORY_LIMIT=64M \
    bash "$driver" --parallel "$template" in out >report 2>&1 || status=$?
[[ $status == 0 ]] || fail "the driver exited with $status, not 0, with only good files"
[[ "$(cat runs)" == "ssh 64M" ]] || fail "the user's memory limit did not go along: $(cat runs)"
echo "the batch driver ran its jobs over ssh"
