#!/bin/sh
# Boots an emulated 32-bit ARM board (qemu-system-arm, Debian's armmp kernel,
# BusyBox) with the static musl supervisor and checks, from its console, what
# the scenarios in tests/board/init saw. Real time: no clock is accelerated.
#   tests/board/run.sh            the scenarios (about a minute and a half)
#   tests/board/run.sh --long     also one watchdog cycle (about seven more minutes)
#   tests/board/run.sh --memory   only the memory benchmark: USS and PSS per
#                                 instance, private copies and linked entries
# Needs scripts/build-musl.sh's output (built when missing) and caches the
# kernel and BusyBox packages in build-board/debs.
set -e
cd "$(dirname "$0")/../.."
top=$(pwd)
long=""
memory=""
[ "$1" = --long ] && long="board.long=1"
[ "$1" = --memory ] && memory="board.memory=1"
musl=$top/build-musl
work=$top/build-board
scripts/setup.sh --board
[ -x "$musl/plugwatch-static" ] && [ -x "$musl/plugwatch-status-static" ] && [ -x "$musl/plugwatch-verify-static" ] &&
    [ -x "$musl/musl-cc" ] ||
    scripts/build-musl.sh "$musl"

# The kernel and BusyBox for armhf, unpacked, not installed.
mkdir -p "$work/debs"
kernel_pkg=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/.*Depends: \(linux-image-[^ ]*\):armhf.*/\1/p' | head -n 1)
[ -n "$kernel_pkg" ] || { echo "board: no armhf kernel package known to apt" >&2; exit 1; }
for pkg in "$kernel_pkg:armhf" busybox-static:armhf; do
    name=${pkg%%:*}
    if ! ls "$work/debs/${name}"_*.deb >/dev/null 2>&1; then
        (cd "$work/debs" && apt-get download -q "$pkg" >/dev/null 2>&1) ||
            { echo "board: cannot download $pkg" >&2; exit 1; }
    fi
done
rm -rf "$work/unpacked" "$work/root"
mkdir -p "$work/unpacked"
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/unpacked"; done
kernel=$(ls "$work"/unpacked/boot/vmlinuz-* | head -n 1)

# The board's root: BusyBox, the init script, a clock setter, the plug-ins.
root=$work/root
mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/proc" "$root/sys" \
    "$root/dev" "$root/tmp" "$root/nodra/apps"
cp "$work/unpacked/bin/busybox" "$root/bin/busybox"
cp tests/board/init "$root/init"
cp tests/board/powercut "$root/powercut"
cp tests/board/memory "$root/memory"
cp "$musl/plugwatch-status-static" "$root/bin/plugwatch-status"
cp "$musl/plugwatch-verify-static" "$root/usr/bin/plugwatch-verify"
chmod +x "$root/init"
# What the power-cut boots need to reach an ext4 disk on virtio.
mkdir -p "$root/lib/modules"
for m in lib/crc16 crypto/crc32c_generic lib/libcrc32c fs/mbcache fs/jbd2/jbd2 fs/ext4/ext4 \
    drivers/virtio/virtio_mmio drivers/block/virtio_blk; do
    cp "$work"/unpacked/lib/modules/*/kernel/$m.ko "$root/lib/modules/"
done
"$musl/musl-cc" -static -Os \
    tests/board/settime.c -o "$root/bin/settime"

worker() { # plugin name body
    cat >"$root/nodra/apps/$1/files/$2" <<EOF
#!/bin/sh
L=/tmp/log
W=\${0##*/}
echo "start \$W \$\$ \$(cut -d' ' -f1 /proc/uptime) \$0 \$*" >>\$L
N=\$(grep -c "^start \$W " \$L)
idle() { while :; do sleep 1; done; }
$3
EOF
    chmod +x "$root/nodra/apps/$1/files/$2"
}
plugin() { # name config
    mkdir -p "$root/nodra/apps/$1/files" "$root/nodra/apps/$1/data"
    cp "$musl/plugwatch-static" "$root/nodra/apps/$1/files/$1"
    echo "$2" >"$root/nodra/apps/$1/files/config"
}
watch() { # base...
    list=""
    for b in "$@"; do list="$list${list:+, }{\"base\": \"$b\"}"; done
    echo "{\"__watch\": {\"processes\": [$list]}}"
}

# The supervisor installed once, as a gateway's firmware would carry it.
cp "$musl/plugwatch-static" "$root/usr/bin/plugwatch"
# pwl1, pwl2: entry programs that are links to that one binary. pwl1's worker
# restarts once (exit 3), then installs a package (exit 130) and boots from
# ../data/.
linked() { # name config
    mkdir -p "$root/nodra/apps/$1/files" "$root/nodra/apps/$1/data"
    ln -s /usr/bin/plugwatch "$root/nodra/apps/$1/files/$1"
    echo "$2" >"$root/nodra/apps/$1/files/config"
}
linked pwl1 "$(watch l1)"
# A record that holds a number which is not whole: the install prints it back
# through the static binary's own number check (0.1 reads back from 15 digits).
echo '{"version":"24.01.11.17","weight":0.1}' >"$root/nodra/apps/pwl1/data/.bootchk"
worker pwl1 l1 '[ "$N" = 1 ] && exit 3
[ "$N" = 2 ] && { cp /pkg/pwl1.tgz /tmp/.uci/ttupgrade.tgz; exit 130; }
idle'
linked pwl2 "$(watch m1)"
worker pwl2 m1 'idle'
# pwh: its worker hands over a hostile archive for BusyBox tar: members with
# ../, an absolute name, and members through links the archive makes.
plugin pwh "$(watch h1)"
worker pwh h1 '[ "$N" = 1 ] && { mkdir -p /tmp/outside; cp /pkg/hostile.tgz /tmp/.uci/ttupgrade.tgz; exit 130; }
idle'

# pwa: a single restart (exit 3), then a restart of all (exit 160); a2 leaves
# a plain child behind, a3's child ends with its parent.
plugin pwa "$(watch a1 a2 a3)"
worker pwa a1 '[ "$N" = 1 ] && exit 3
[ "$N" = 2 ] && { sleep 3; exit 160; }
idle'
worker pwa a2 '[ "$N" = 1 ] && { sleep 1000 & echo "child a2 $!" >>$L; }
idle'
worker pwa a3 '[ "$N" = 1 ] && { parent=$$; ( while kill -0 $parent 2>/dev/null; do sleep 1; done ) &
    echo "child a3 $!" >>$L; }
idle'
# pwb: an upgrade unpacked by BusyBox tar, booted from ../data/, failing there.
plugin pwb "$(watch b1)"
worker pwb b1 '[ "$N" = 1 ] && { cp /pkg/pwb.tgz /tmp/.uci/ttupgrade.tgz; exit 130; }
idle'
mkdir -p "$work/pkg" "$root/pkg"
cp "$root/nodra/apps/pwb/files/b1" "$work/pkg/b1"
sed -i 's/^\[ "$N" = 1 \].*/exit 129/' "$work/pkg/b1"
tar czf "$root/pkg/pwb.tgz" --owner=0 --group=0 -C "$work/pkg" b1
cp "$root/nodra/apps/pwl1/files/l1" "$work/pkg/l1"
tar czf "$root/pkg/pwl1.tgz" --owner=0 --group=0 -C "$work/pkg" l1
python3 - "$root/pkg/hostile.tgz" <<'EOF'
import io, sys, tarfile
with tarfile.open(sys.argv[1], "w:gz", format=tarfile.GNU_FORMAT) as tar:
    def member(name, target=None):
        info = tarfile.TarInfo(name)
        if target is None:
            info.size = 1
            tar.addfile(info, io.BytesIO(b"x"))
        else:
            info.type, info.linkname = tarfile.SYMTYPE, target
            tar.addfile(info)
    member("../escape")
    member("/tmp/absolute")
    member("out", "/tmp/outside")
    member("out/through")
    member("up", "..")
    member("up/climbed")
EOF
# pws1, pws2: two plug-ins side by side, each with a worker named agent that
# keeps an alive file. pws1's agent installs a package from its own package
# path and every pws1 worker restarts; pws2's agent must keep its pid.
side='{"__watch": {"processes": [{"base": "agent", "excheck": true}]}}'
for p in pws1 pws2; do
    plugin $p "$side"
done
worker pws1 agent 'echo "side pws1 $$ $PLUGWATCH_PACKAGE" >>$L
[ "$(grep -c "^side pws1 " $L)" = 1 ] && { sleep 2; cp /pkg/pws1.tgz "$PLUGWATCH_PACKAGE"; exit 130; }
idle'
worker pws2 agent 'echo "side pws2 $$ $PLUGWATCH_PACKAGE" >>$L
idle'
cp "$root/nodra/apps/pws1/files/agent" "$work/pkg/agent"
tar czf "$root/pkg/pws1.tgz" --owner=0 --group=0 -C "$work/pkg" agent
# pwexample: the release's example plug-in and SysV script, as an integrator
# installs them: entry linked to /usr/bin/plugwatch, started and stopped by
# the script.
mkdir -p "$root/nodra/apps/pwexample/data" "$root/etc/init.d" "$root/var/run"
cp -R examples/integration/pwexample/files "$root/nodra/apps/pwexample/"
ln -s /usr/bin/plugwatch "$root/nodra/apps/pwexample/files/pwexample"
cp examples/integration/S90pwexample "$root/etc/init.d/S90pwexample"
# pwv: a plug-in that ships a key: an unsigned package is refused, a signed
# one installed by BusyBox tar after the static verifier checked it.
plugin pwv "$(watch v1)"
worker pwv v1 'case $N in
1) cp /pkg/pwv.tgz "$PLUGWATCH_PACKAGE"; exit 130 ;;
2) cp /pkg/pwv.tgz "$PLUGWATCH_PACKAGE"; cp /pkg/pwv.tgz.sig "$PLUGWATCH_PACKAGE.sig"; exit 130 ;;
esac
idle'
cp "$root/nodra/apps/pwv/files/v1" "$work/pkg/v1"
tar czf "$root/pkg/pwv.tgz" --owner=0 --group=0 -C "$work/pkg" v1
rm -rf "$work/pwv-key" && mkdir -p "$work/pwv-key"
signify-openbsd -G -n -c "pwv upgrades" -p "$work/pwv-key/upgrade.pub" -s "$work/pwv-key/upgrade.sec"
cp "$work/pwv-key/upgrade.pub" "$root/nodra/apps/pwv/files/upgrade.pub"
signify-openbsd -S -s "$work/pwv-key/upgrade.sec" -m "$root/pkg/pwv.tgz" -x "$root/pkg/pwv.tgz.sig"
# pwc: a program that cannot be executed.
plugin pwc "$(watch c-missing)"
# pwk: its worker gets SIGTERM when the supervisor is killed.
plugin pwk "$(watch d1)"
worker pwk d1 'trap "echo \"term d1 \$\$\" >>\$L; exit 0" TERM
idle'
# pwe: a worker end logged after the clock passed 2038.
plugin pwe "$(watch e1)"
worker pwe e1 '[ "$N" = 1 ] && { read go </tmp/clockset; exit 3; }
idle'
# pwf (long run only): a worker that never shows its alive file.
plugin pwf '{"__watch": {"processes": [{"base": "f1", "excheck": true}]}}'
worker pwf f1 'idle'

# pwp (power-cut boots only): its worker asks for the install of the boot's
# step; the packages' files and their checksums for the check after the cut.
plugin pwp "$(watch p1)"
# Booted from data/, it asks for a second install once told to.
worker pwp p1 '[ -e /tmp/staged ] || { : >/tmp/staged; cp /pkg/pkg$(cat /tmp/step) /tmp/.uci/ttupgrade.tgz; exit $(cat /tmp/step); }
case $0 in ../data//*) while [ ! -e /tmp/second ]; do sleep 0.1; done
    [ -e /tmp/staged2 ] || { : >/tmp/staged2; cp /pkg/pkgbig /tmp/.uci/ttupgrade.tgz; exit 130; } ;; esac
idle'
rm -rf "$work/pkg130" && mkdir -p "$work/pkg130"
cp "$root/nodra/apps/pwp/files/p1" "$work/pkg130/p1"
for f in lib1.bin lib2.bin app.bin; do head -c 262144 /dev/urandom >"$work/pkg130/$f"; done
tar czf "$root/pkg/pkg130" --owner=0 --group=0 -C "$work/pkg130" p1 lib1.bin lib2.bin app.bin
(cd "$work/pkg130" && sha256sum p1 lib1.bin lib2.bin app.bin) >"$root/pkg/sums130"
head -c 524288 /dev/urandom >"$root/pkg/pkg131"
echo "$(sha256sum <"$root/pkg/pkg131" | cut -d' ' -f1)  init.bin" >"$root/pkg/sums131"
# The second package writes over every file of the first, and more.
rm -rf "$work/pkgbig" && mkdir -p "$work/pkgbig"
cp "$root/nodra/apps/pwp/files/p1" "$work/pkgbig/p1"
for f in lib1.bin lib2.bin app.bin; do head -c 1048576 /dev/urandom >"$work/pkgbig/$f"; done
head -c 41943040 /dev/urandom >"$work/pkgbig/big.bin"
tar czf "$root/pkg/pkgbig" --owner=0 --group=0 -C "$work/pkgbig" lib1.bin big.bin lib2.bin app.bin p1
(cd "$work/pkgbig" && sha256sum p1 lib1.bin lib2.bin app.bin big.bin) >"$root/pkg/sumsbig"
printf '130\n130\n131\nu0.3\nu1.5\nu2.5\n' >"$root/pkg/steps"
cuts=$(($(wc -l <"$root/pkg/steps") + 1))

# The memory benchmark's plug-ins: m[p]1..4 with private copies, m[s]1..4
# linked to /usr/bin/plugwatch; four sleeping workers each, the first with an
# alive file.
for i in 1 2 3 4; do
    for layout in p s; do
        name=m$layout$i
        config='{"__watch": {"processes": [{"base": "w1", "excheck": true}, {"base": "w2"}, {"base": "w3"}, {"base": "w4"}]}}'
        if [ $layout = p ]; then plugin "$name" "$config"; else linked "$name" "$config"; fi
        for w in w1 w2 w3 w4; do
            printf '#!/bin/sh
while :; do sleep 100; done
' >"$root/nodra/apps/$name/files/$w"
            chmod +x "$root/nodra/apps/$name/files/$w"
        done
    done
done

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -9) >"$work/initramfs.gz"
echo "board: booting $(basename "$kernel") with BusyBox and plugwatch-static"
limit=240
[ -n "$long" ] && limit=900
board() { # time-limit console-log kernel-arguments [qemu-option...]
    limit=$1 log=$2 args=$3
    shift 3
    timeout "$limit" qemu-system-arm -M virt -cpu cortex-a15 -m 512 -nic none -nographic -no-reboot \
        -kernel "$kernel" -initrd "$work/initramfs.gz" \
        -append "console=ttyAMA0 rdinit=/init quiet panic=-1 $args" "$@" </dev/null >"$log" 2>&1
}
status=0
if [ -n "$memory" ]; then
    board 240 "$work/memory.log" "$memory" || status=$?
    tr -d '\r' <"$work/memory.log" | sed -n 's/^@@ //p' >"$work/memory.seen"
    grep -q '^board done$' "$work/memory.seen" || { echo "board: the memory benchmark did not finish" >&2; exit 1; }
    echo "board memory (kB per instance; USS = private pages, split by mapping)"
    printf '%-8s %-5s %5s %5s %7s %6s %5s %5s\n' layout name USS PSS binary stack heap anon
    awk '$1 == "mem" && NF > 4 { printf "%-8s %-5s %5d %5d %7d %6d %5d %5d\n", $2, $3, $5, $7, $9, $11, $13, $15
                                 n[$2]++; u[$2] += $5; p[$2] += $7 }
         $1 == "mem" && $2 == "binary" { bin = $3 }
         END { for (l in n) printf "mean %s: USS %.0f kB, PSS %.0f kB\n", l, u[l] / n[l], p[l] / n[l]
               printf "static binary: %d bytes\n", bin }' "$work/memory.seen"
    echo "the private pages of one instance, by mapping (kB):"
    sed -n 's/^map /  /p' "$work/memory.seen"
    exit $status
fi
board "$limit" "$work/console.log" "$long" || status=$?
tr -d '\r' <"$work/console.log" | sed -n 's/^@@ //p' >"$work/seen"
[ $status = 0 ] || echo "board: qemu ended with status $status" >&2

# Power cuts: the data directory on an ext4 disk made here, one boot per step
# and one more to check the last cut.
echo "board: power-cut boots"
rm -rf "$work/disk" && mkdir -p "$work/disk/data"
mke2fs -q -F -t ext4 -d "$work/disk" "$work/disk.img" 160M
for k in $(seq "$cuts"); do
    board 120 "$work/cut$k.log" "board.cut=$k" \
        -drive file="$work/disk.img",if=none,format=raw,id=d0 -device virtio-blk-device,drive=d0 ||
        { status=$?; echo "board: power-cut boot $k ended with status $status" >&2; }
    tr -d '\r' <"$work/cut$k.log" | sed -n 's/^@@ //p' >>"$work/seen"
done

passed=0
failed=0
expect() { # description extended-regex
    if grep -Eq "$2" "$work/seen"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "board: FAIL: $1 (no line matches: $2)"
    fi
}
D='[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}'
expect "the board ran to its end" '^board done$'
expect "started by bare name under /nodra/apps" '^run pwa: /nodra/apps/pwa/files$'
expect "exit 3 logged" "^run pwa: $D: a1 exited normally with code\\(3\\)$"
expect "single restart with its code" '^log: start a1 [0-9]+ [0-9.]+ a1 -r 3$'
expect "the single restart announced" '^out pwa: Will restart normal prog after 10 secs$'
for w in a1 a2 a3; do
    expect "$w restarted with 160, the old one killed" "^log: start $w [0-9]+ [0-9.]+ $w -r 160$"
done
expect "old a2 killed by name" '^old a2 gone$'
expect "old a3 killed by name" '^old a3 gone$'
expect "a plain child outlives its worker, adopted by init" '^child of a2 alive, parent 1$'
expect "a child that watches its parent ends with it" '^child of a3 gone$'
expect "booted from ../data/ after BusyBox tar unpacked the package" \
    '^log: start b1 [0-9]+ [0-9.]+ \.\./data//b1 -r 130 -T /tmp/\.uci/ -D \.\./data/ -O velmar_rtos510$'
expect "the failed boot from ../data/ falls back to files/" '^log: start b1 [0-9]+ [0-9.]+ b1 -r 129$'
expect "the failed boot is announced" '^out pwb: failed boot, then clean bootchk, and try again$'
expect "the record is deleted" '^bootchk of pwb absent$'
expect "the exec failure's message" '^out pwc: failed to exec c-missing, error is No such file or directory$'
expect "no record: the supervisor gives up" '^out pwc: failed for normal boot, exit$'
expect "and ends with status 0" '^pwc status 0$'
expect "a second instance is refused" '^out second: already in use for /tmp/\.uci/pwa\.run$'
expect "with its message" '^out second: process\(pwa\) already run$'
expect "and status 0" '^second instance status 0$'
expect "workers get SIGTERM when the supervisor is killed" '^log: term d1 [0-9]+$'
expect "status: every pwa worker up" '^status pwa exit 0$'
expect "status: the supervisor runs" '^status: pwa: run \(pid [0-9]+\) [0-9]+s, since '
for w in a1 a2 a3; do
    expect "status: $w up with -r 160" "^status:   $w +up \(pid [0-9]+\) [0-9]+s, -r 160"
done
expect "status: JSON" '^status json: \{"instances":\[\{"name":"pwa","run_file":"/tmp/\.uci/pwa\.run","running":true'
expect "status: a stopped instance" '^status pwc exit 3$'
expect "status: the static supervisor's state file, read and trusted" \
    '^status json: .*"state_file":\{"path":"/tmp/\.uci/pwa\.state","trusted":true,"problem":null'
expect "state file: written by the static supervisor" '^state: plugwatch-state 1$'
expect "state file: every pwa worker's start" '^state: worker 2 start [0-9]+ [0-9]+ 160$'
expect "linked entries: pwl1 runs from its own directory" '^run pwl1: /nodra/apps/pwl1/files$'
expect "linked entries: pwl2 runs from its own directory" '^run pwl2: /nodra/apps/pwl2/files$'
expect "linked entries: both run the one installed binary" '^linked exe pwl1 /usr/bin/plugwatch pwl2 /usr/bin/plugwatch$'
expect "linked entries: pwl1's record keeps its number as written" \
    '^bootchk of pwl1 \{"version":"24\.01\.11\.17","weight":0\.1,"plugindata":1\}$'
expect "linked entries: pwl1's single restart" "^run pwl1: $D: l1 exited normally with code\\(3\\)$"
expect "linked entries: pwl1's install booted from its own data/" \
    '^log: start l1 [0-9]+ [0-9.]+ \.\./data//l1 -r 130 -T /tmp/\.uci/ -D \.\./data/ -O velmar_rtos510$'
expect "linked entries: pwl2's worker left alone" '^pwl2 starts 1$'
expect "the hostile archive was handed over" "^run pwh: $D: h1 exited normally with code\\(130\\)$"
expect "a hostile archive wrote nothing outside ../data/" '^hostile outside: none$'
expect "side by side: pws1 installed its own package and booted from its data/" \
    '^log: start agent [0-9]+ [0-9.]+ \.\./data//agent -r 130 -A /tmp/\.uci//pws1\.agent\.alive -T '
expect "side by side: each plug-in's workers learn its own package path" \
    '^log: side pws2 [0-9]+ /tmp/\.uci/pws2\.ttupgrade\.tgz$'
expect "side by side: pws2's agent kept its pid through pws1's install and restart" \
    '^side pws2 agent starts 1, first alive yes$'
for p in pws1 pws2; do
    expect "side by side: $p's agent has an alive file of its own" \
        "^run $p: alive file of agent is /tmp/\\.uci//$p\\.agent\\.alive: plug-in (pws1|pws2|pwexample) watches it too\$"
done
expect "keyed: an unsigned package is refused" "^run pwv: $D: upgrade package /tmp/\\.uci/pwv\\.ttupgrade\\.tgz refused: no signature\$"
expect "keyed: a signed one is verified, unpacked and booted" \
    '^log: start v1 [0-9]+ [0-9.]+ \.\./data//v1 -r 130 -T /tmp/\.uci/ -D \.\./data/ -O velmar_rtos510$'
expect "keyed: package and signature gone after the install" '^pwv package left: none$'
expect "example: the SysV script starts it" '^example status: +agent +up \(pid [0-9]+\) [0-9]+s'
expect "example: status 0 while it runs" '^example running exit 0$'
expect "example: the console goes to its own file" '^example console: agent: started with: -A /tmp/\.uci//pwexample\.agent\.alive$'
expect "example: the alive file is a regular file, renewed by rename" '^example alive file regular$'
expect "example: the script stops it, its agent with it" '^example stopped exit 3, agent gone$'

expect "the clock is past 2038" '^clock set 2040$'
expect "an event line dated after 2038" "^run pwe: [A-Z][a-z]{2} Mar  1 [0-9:]{8} 2040: e1 exited normally with code\\(3\\)$"
# The single restart waits its 10 s.
delay=$(awk '$1 == "log:" && $3 == "a1" { t[++n] = $5 } END { if (n >= 2) printf "%d", t[2] - t[1]; else print -1 }' "$work/seen")
if [ "$delay" -ge 10 ] && [ "$delay" -lt 15 ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "board: FAIL: a1 restarted after $delay s, not 10"; fi
for k in $(seq $((cuts - 1))); do
    step=$(sed -n "${k}p" "$root/pkg/steps")
    case $step in
    u*)
        expect "cut $k: booted from data/ before the second install" "^cut $k: booted from data/ with .*\"plugindata\":1"
        expect "cut $k came ${step#u} s into the second unpack" "^cut $k: power off ${step#u} s into the second unpack"
        expect "after cut $k the next boot starts whole programs" \
            "^cut $k $step boots: (the old tree, whole|the new tree, whole|the plug-in's own programs)$" ;;
    *)
        expect "cut $k ($step) came after the record" "^cut $k: power off after $step, record .*\"(plugindata|luadata)\":1"
        expect "after cut $k ($step) every recorded file is whole" "^cut $k $step files: [0-9]+ whole, broken: none$" ;;
    esac
done
if [ -n "$long" ]; then
    expect "the watchdog's notice" '^run pwf: f1 is not alive, and we will kill it\.$'
    expect "the watchdog kill logged" "^run pwf: $D: f1 killed by signal\\(9\\)$"
    expect "restarted with 199" '^log: start f1 [0-9]+ [0-9.]+ f1 -r 199 -A /tmp/\.uci//f1\.alive$'
fi
echo "board: console in $work/console.log; $(sed -n 's/^elapsed //p' "$work/seen") s of scenarios"
echo "board: plugwatch-status takes $(sed -n 's/^status call //p' "$work/seen") a call"
echo "board: $passed passed, $failed failed"
[ $failed = 0 ] && [ $status = 0 ]
