#!/usr/bin/env bash
# Simulated USB sticks: the writer against its floor on a direct-I/O loop
# device throttled through the cgroup-v1 blkio controller (the measured
# command runs in the throttled group), for xz images of one block and of many
# (as xz -T0 makes them), zstd and raw images of a realistic file system:
#   USB-2  20 MB/s write,  35 MB/s read, a 512 MiB image (keeps the run short)
#   USB-3  80 MB/s write, 150 MB/s read, a 1 GiB image
# The throttle is checked with dd first. Each round runs, alternating:
#   dd-w      dd if=RAW of=DEV bs=8M oflag=direct conv=fsync
#   dd-r      dd if=DEV of=/dev/null bs=8M iflag=direct (the image's size)
#   and for each image: the decompressor alone with the writer's own tool and
#   flags (writer_bench --stream-command) into /dev/null, the writer, and the
#   writer with verification (writer_bench's seconds: WriteImage to the
#   completion callback).
# Prints for each stick and image the medians and
#   ratio     writer / max(decompress alone, dd-w)            (target <= 1.05)
#   ratio-v   writer-v / (max(decompress alone, dd-w) + dd-r) (target <= 1.10)
#   dirty     the highest Dirty rise during a job, KiB        (target <= 65536)
#   rss       peak resident set of the writer plus that of its largest child
#             (the decompressor), KiB                         (target <= 32768)
#   temp      the most temporary space a job used, KiB        (0 when streamed)
# In the last round the device is filled with 0xFF before each unverified
# writer run and compared with the image after it.
#
#   sudo bash bench/stick_bench.sh [BUILD_DIR]     (default: build)
# BENCH_DIR=/var/tmp/x keeps the images between runs; ROUNDS (3) and
# STICKS ("usb2 usb3") choose what runs.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT_DIR/bench/lib.sh"
bench_setup "loop devices, cgroups" "${1:-}"
ROUNDS="${ROUNDS:-3}"
STICKS="${STICKS:-usb2 usb3}"

work_dir stick-bench
CG=/sys/fs/cgroup/blkio/usb-image-writer-bench
DEV=""
cleanup() {
    [ -n "$DEV" ] && losetup -d "$DEV" 2>/dev/null || true
    rmdir "$CG" 2>/dev/null || true
    [ "$KEEP" -eq 1 ] || rm -rf "$WORK"
}
trap cleanup EXIT

IMAGES="image.img.xz image.mt.img.xz image.img.zst image.iso"
label() {
    case "$1" in
        image.img.xz) echo xz ;; image.mt.img.xz) echo "xz many blocks" ;;
        image.img.zst) echo zstd ;; *) echo raw ;;
    esac
}
# images DIR SIZE: the file system and its compressed forms.
images() {
    mkdir -p "$1"
    [ -f "$1/image.iso" ] || { echo "building $1/image.iso ($2)..."; make_fs_image "$1/image.iso" "$2"; }
    [ -f "$1/image.img.xz" ] || xz -6 -T1 -c "$1/image.iso" > "$1/image.img.xz"
    [ -f "$1/image.mt.img.xz" ] || xz -6 -T0 -c "$1/image.iso" > "$1/image.mt.img.xz"
    [ -f "$1/image.img.zst" ] || zstd -3 -q -c "$1/image.iso" > "$1/image.img.zst"
}

# in_group CMD...: runs CMD inside the throttled group.
in_group() { bash -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$CG" "$@"; }
# timed CMD...: its seconds.
timed() {
    local t0 t1
    t0=$(now); "$@"; t1=$(now)
    echo "$t1 - $t0" | bc
}
to_null() { "$@" >/dev/null; }
last() { grep -o '[^ ]*$' <<<"$1"; }
# dd_rate ARGS...: dd's MB/s, inside the group.
dd_rate() { in_group dd "$@" status=progress 2>&1 | tr '\r' '\n' | sed -n 's/.* \([0-9.]*\) MB\/s$/\1/p' | tail -1; }

run_writer() {
    local stats
    stats=$(in_group "$DRIVER" "$@" "$DEV" "$WORK/tmp/" 2>&1 >/dev/null) || { echo "writer failed: $stats" >&2; exit 1; }
    echo "$stats"
}

mkdir -p "$WORK/tmp"
mkdir -p "$CG"
declare -A RESULT
for stick in $STICKS; do
    case "$stick" in
        usb2) W_BPS=20000000; R_BPS=35000000; DIR="$WORK/512m"; images "$DIR" 512M ;;
        usb3) W_BPS=80000000; R_BPS=150000000; DIR="$WORK/1g"; images "$DIR" 1G ;;
        *) echo "unknown stick $stick" >&2; exit 2 ;;
    esac
    RAW="$DIR/image.iso"
    SIZE=$(stat -c %s "$RAW")
    CHUNKS=$(((SIZE + 8388607) / 8388608))
    # A loop device of the stick's size for each stick.
    [ -z "$DEV" ] || losetup -d "$DEV"
    truncate -s $((SIZE + 64 * 1024 * 1024)) "$WORK/stick.img"
    DEV=$(losetup -f --show --direct-io=on "$WORK/stick.img")
    majmin=$(printf '%d:%d' "0x$(stat -c %t "$DEV")" "0x$(stat -c %T "$DEV")")
    echo "$majmin $W_BPS" > "$CG/blkio.throttle.write_bps_device"
    echo "$majmin $R_BPS" > "$CG/blkio.throttle.read_bps_device"
    settle
    w=$(dd_rate if=/dev/zero of="$DEV" bs=8M count=32 oflag=direct conv=fsync)
    r=$(dd_rate if="$DEV" of=/dev/null bs=8M count=32 iflag=direct)
    echo "$stick: $DEV ($majmin) throttled to $W_BPS B/s write, $R_BPS B/s read;" \
         "dd measures $w MB/s write, $r MB/s read; image $SIZE bytes"

    DW=() DR=()
    declare -A DEC=() WR=() WV=() DIRTY=() RSS=() TEMP=()
    for round in $(seq "$ROUNDS"); do
        settle; DW+=("$(timed in_group dd if="$RAW" of="$DEV" bs=8M oflag=direct conv=fsync status=none)")
        settle; DR+=("$(timed in_group dd if="$DEV" of=/dev/null bs=8M iflag=direct count="$CHUNKS" status=none)")
        line="round $round: dd-w ${DW[-1]} s, dd-r ${DR[-1]} s"
        for img in $IMAGES; do
            if [ "$img" != image.iso ]; then
                mapfile -t cmd < <("$DRIVER" --stream-command "$DIR/$img")
                settle; DEC[$img]+=" $(timed to_null in_group "${cmd[@]}")"
            fi
            if [ "$round" -eq "$ROUNDS" ]; then
                { tr '\0' '\377' < /dev/zero || true; } | dd of="$DEV" bs=8M count="$CHUNKS" \
                    iflag=fullblock oflag=direct conv=fsync status=none
            fi
            for verify in "" --verify; do
                settle; stats=$(run_writer $verify "$DIR/$img")
                secs=$(field seconds "$stats")
                if [ -z "$verify" ]; then WR[$img]+=" $secs"; else WV[$img]+=" $secs"; fi
                DIRTY[$img]+=" $(field dirty_rise_kib "$stats")"
                RSS[$img]+=" $(($(field peak_rss_kib "$stats") + $(field child_rss_kib "$stats")))"
                TEMP[$img]+=" $(field temp_peak_kib "$stats")"
                if [ "$round" -eq "$ROUNDS" ] && [ -z "$verify" ]; then
                    settle
                    cmp -n "$SIZE" "$RAW" "$DEV" >/dev/null || { echo "$img: the device differs from the image" >&2; exit 1; }
                fi
            done
            line+=", $(label "$img"): $(last "${DEC[$img]:--}") / $(last "${WR[$img]}") / $(last "${WV[$img]}") s"
        done
        echo "$line   (alone / writer / writer-v)"
    done
    echo "$stick: after each image's last unverified write the device held the image byte for byte"

    mdw=$(median "${DW[@]}"); mdr=$(median "${DR[@]}")
    for img in $IMAGES; do
        # shellcheck disable=SC2086
        dec=0; [ "$img" = image.iso ] || dec=$(median ${DEC[$img]})
        floor=$(maxof "$dec" "$mdw")
        # shellcheck disable=SC2086
        mw=$(median ${WR[$img]}); mv=$(median ${WV[$img]})
        # shellcheck disable=SC2086
        RESULT[$stick/$img]="$(printf '%-6s %-15s %7.2f %7.2f %7.2f %6.3f %8.2f %8.2f %7.3f %8s %8s %6s' \
            "$stick" "$(label "$img")" "$dec" "$mdw" "$mw" "$(ratio "$mw" "$floor")" \
            "$mv" "$(echo "$floor + $mdr" | bc)" "$(ratio "$mv" "$(echo "$floor + $mdr" | bc)")" \
            "$(maxof ${DIRTY[$img]})" "$(maxof ${RSS[$img]})" "$(maxof ${TEMP[$img]})")"
    done
    unset DEC WR WV DIRTY RSS TEMP
done

echo
echo "medians in seconds; ratio target <= 1.05, ratio-v <= 1.10, dirty <= 65536 KiB, rss <= 32768 KiB, temp 0 when streamed"
printf '%-6s %-15s %7s %7s %7s %6s %8s %8s %7s %8s %8s %6s\n' \
    stick image alone dd-w writer ratio writer-v floor-v ratio-v dirtyKiB rssKiB tmpKiB
for stick in $STICKS; do
    for img in $IMAGES; do echo "${RESULT[$stick/$img]}"; done
done
