#!/usr/bin/env bash
# The capacity probe's time (writer_bench --probe, which opens the device as
# the writer does) on simulated 64 GiB sticks, a direct-I/O loop device
# throttled through the cgroup-v1 blkio controller (the probe runs in the
# throttled group):
#   usb2           genuine, 20 MB/s write, 35 MB/s read, and 20 ms for each
#                  random write (the fake stick of tests/support/fake_stick.py)
#   usb3           genuine, 80 MB/s write, 150 MB/s read (a plain sparse file)
#   usb2-drop      as usb2, but writes beyond 7.8 GB vanish (more rounds)
#   usb2-cache     as usb2, wrapping at 8 GiB with a 1 MiB write cache; also
#                  run with no eviction ("naive"), which the cache fools
#   usb2-whole     what the probe adds to a whole verified write of a 1 GiB
#                  realistic image on the USB-2 stick (a plain 2 GiB sparse
#                  file; no added latency): writer_bench --verify, with the
#                  probe and with --no-probe, alternating; prints the ratio
#                  (target <= 1.02)
# The throttle is checked with dd first. Prints each round's seconds and
# verdict, then the medians (target for the
# genuine sticks: <= 3 s). Every round checks that the stick's flash is as
# it was before (against a copy; the store holds random bytes where the
# probe writes and holes elsewhere, and only data is compared, holes as zeros).
#
#   sudo bash bench/probe_bench.sh [BUILD_DIR]     (default: build)
# ROUNDS (5) and STICKS ("usb2 usb3 usb2-drop usb2-cache usb2-whole") choose
# what runs; BENCH_DIR=/var/tmp/x keeps the realistic image between runs.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT_DIR/bench/lib.sh"
bench_setup "loop devices, FUSE, cgroups" "${1:-}"
ROUNDS="${ROUNDS:-5}"
STICKS="${STICKS:-usb2 usb3 usb2-drop usb2-cache usb2-whole}"
CLAIMED=$((64 * 1024 * 1024 * 1024))

work_dir probe-bench
CG=/sys/fs/cgroup/blkio/usb-image-writer-probe-bench
DEV="" FUSE_PID=""
detach() {
    [ -n "$DEV" ] && losetup -d "$DEV" 2>/dev/null || true
    DEV=""
    if [ -n "$FUSE_PID" ]; then
        fusermount -u "$WORK/mnt" 2>/dev/null || umount -l "$WORK/mnt" || true
        wait "$FUSE_PID" 2>/dev/null || true
    fi
    FUSE_PID=""
}
cleanup() {
    detach
    rmdir "$CG" 2>/dev/null || true
    [ "$KEEP" -eq 1 ] || rm -rf "$WORK"
}
trap cleanup EXIT

# stick REAL [fake_stick options...]: the store of REAL bytes with random
# bytes where the first round writes (its first 128 MiB, 1 MiB at each
# 128 MiB step and its last MiB), a copy of it, and DEV over it: through the
# fake stick when options are given.
stick() {
    local real="$1" at
    shift
    rm -f "$WORK/store"
    truncate -s "$real" "$WORK/store"
    head -c 128M /dev/urandom | dd of="$WORK/store" conv=notrunc status=none
    for ((at = 128; at * 1048576 < real - 1048576; at += 128)); do
        head -c 1M /dev/urandom | dd of="$WORK/store" bs=1M seek="$at" conv=notrunc status=none
    done
    head -c 1M /dev/urandom | dd of="$WORK/store" bs=1M seek=$((real / 1048576 - 1)) conv=notrunc status=none
    cp --sparse=always "$WORK/store" "$WORK/store.before"
    if [ $# -gt 0 ]; then
        mkdir -p "$WORK/mnt" "$WORK/control"
        /usr/bin/python3 "$ROOT_DIR/tests/support/fake_stick.py" "$WORK/mnt" "$WORK/store" \
            "$WORK/control" claimed="$CLAIMED" "$@" 2>"$WORK/fake.log" &
        FUSE_PID=$!
        for _ in $(seq 100); do [ -e "$WORK/mnt/stick" ] && break; sleep 0.05; done
        DEV=$(losetup -f --show --direct-io=on "$WORK/mnt/stick")
    else
        DEV=$(losetup -f --show --direct-io=on "$WORK/store")
    fi
}
throttle() {
    local majmin
    majmin=$(printf '%d:%d' "0x$(stat -c %t "$DEV")" "0x$(stat -c %T "$DEV")")
    echo "$majmin $1" > "$CG/blkio.throttle.write_bps_device"
    echo "$majmin $2" > "$CG/blkio.throttle.read_bps_device"
}
# same A B: the files hold the same bytes, read where either holds data.
same() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import os, sys
fds = [os.open(p, os.O_RDONLY) for p in sys.argv[1:]]
def extents(fd):
    at, end = 0, os.fstat(fd).st_size
    while True:
        try: at = os.lseek(fd, at, os.SEEK_DATA)
        except OSError: return
        hole = os.lseek(fd, at, os.SEEK_HOLE)
        yield at, hole; at = hole
size = os.fstat(fds[0]).st_size
assert size == os.fstat(fds[1]).st_size
for fd in fds:
    for at, hole in extents(fd):
        for p in range(at, hole, 1 << 20):
            n = min(1 << 20, hole - p)
            if os.pread(fds[0], n, p) != os.pread(fds[1], n, p): sys.exit(1)
PY
}
in_group() { bash -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$CG" "$@"; }
# dd_rate ARGS...: dd's MB/s, inside the group.
dd_rate() { in_group dd "$@" status=progress 2>&1 | tr '\r' '\n' | sed -n 's/.* \([0-9.]*\) MB\/s$/\1/p' | tail -1; }
# The throttle as dd sees it: the stick's first 32 MiB read, and written back unchanged.
check_rates() {
    local r w
    r=$(dd_rate if="$DEV" of="$WORK/head" bs=8M count=4 iflag=direct)
    w=$(dd_rate if="$WORK/head" of="$DEV" bs=8M oflag=direct conv=fsync,notrunc)
    echo "$1: $DEV; dd measures $w MB/s write, $r MB/s read"
}

mkdir -p "$CG"
declare -a SUMMARY
for name in $STICKS; do
    evicts="default"
    if [ "$name" = usb2-whole ]; then
        [ -f "$WORK/image.iso" ] || make_fs_image "$WORK/image.iso" 1G
        rm -f "$WORK/store"
        truncate -s 2G "$WORK/store"
        DEV=$(losetup -f --show --direct-io=on "$WORK/store")
        throttle 20000000 35000000
        check_rates "$name"
        with=() without=()
        for round in $(seq "$ROUNDS"); do
            for probe in "" --no-probe; do
                settle
                out=$(in_group "$DRIVER" --verify $probe "$WORK/image.iso" "$DEV" "$WORK/" 2>&1 >/dev/null)
                [ "$(field result "$out")" = 1 ] || { echo "$name: the write failed: $out" >&2; exit 1; }
                if [ -z "$probe" ]; then with+=("$(field seconds "$out")"); else without+=("$(field seconds "$out")"); fi
            done
            echo "$name round $round: with the probe ${with[-1]} s, without ${without[-1]} s"
        done
        mw=$(median "${with[@]}"); mo=$(median "${without[@]}")
        SUMMARY+=("$(printf '%-11s %-8s %6.2f   verified 1 GiB write; without the probe %.2f s; ratio %s (target <= 1.02)' \
            "$name" - "$mw" "$mo" "$(ratio "$mw" "$mo")")")
        detach
        continue
    fi
    case "$name" in
        usb2) stick "$CLAIMED" latency=20; throttle 20000000 35000000 ;;
        usb3) stick "$CLAIMED"; throttle 80000000 150000000 ;;
        usb2-drop) stick 7800000000 mode=drop latency=20; throttle 20000000 35000000 ;;
        usb2-cache) stick $((8 * 1024 * 1024 * 1024)) mode=wrap cache=1048576 latency=20
                    throttle 20000000 35000000; evicts="default 0" ;;
        *) echo "unknown stick $name" >&2; exit 2 ;;
    esac
    check_rates "$name"
    for evict in $evicts; do
        times=() line=""
        for round in $(seq "$ROUNDS"); do
            settle
            if [ "$evict" = default ]; then out=$(in_group "$DRIVER" --probe "$DEV"); else out=$(in_group "$DRIVER" --probe "$DEV" "$evict"); fi
            times+=("$(field seconds "$out")")
            line="$(field verdict "$out") real_bytes=$(field real_bytes "$out") restored=$(field restored "$out")"
            same "$WORK/store" "$WORK/store.before" || { echo "$name: the flash changed" >&2; exit 1; }
            echo "$name evict=$evict round $round: ${times[-1]} s, $line"
        done
        SUMMARY+=("$(printf '%-11s %-8s %6.2f   %s' "$name" "$evict" "$(median "${times[@]}")" "$line")")
    done
    detach
done

echo
echo "medians in seconds (target <= 3 s on the genuine sticks); evict: the eviction's bytes"
printf '%-11s %-8s %6s   %s\n' stick evict median verdict
printf '%s\n' "${SUMMARY[@]}"
