#!/usr/bin/env bash
# Simulated USB sticks: the writer against its floor on a direct-I/O loop
# device throttled through the cgroup-v1 blkio controller (the measured
# command runs in the throttled group):
#   USB-2  20 MB/s write,  35 MB/s read, a 512 MiB image (keeps the run short)
#   USB-3  80 MB/s write, 150 MB/s read, a 1 GiB image
# The throttle is checked with dd first. Two parts (PARTS="formats maps"):
#
# formats: xz images of one block and of many (as xz -T0 makes them), zstd
# and raw images of a realistic file system (ext4, 85 % full). Each round
# runs, alternating:
#   dd-w      dd if=RAW of=DEV bs=8M oflag=direct conv=fsync
#   dd-r      dd if=DEV of=/dev/null bs=8M iflag=direct (the image's size)
#   and for each image: its decompressor alone (xz -T0 -dc, zstd -dc) into
#   /dev/null, the writer, and the writer with verification (writer_bench's
#   seconds: WriteImage to the completion callback).
# Prints for each stick and image the medians and
#   ratio     writer / max(decompress alone, dd-w)   (target <= 1.05 for xz,
#             1.03 for zstd and raw)
#   ratio-v   writer-v / (max(decompress alone, dd-w) + dd-r) (target <= 1.10)
#   dirty     the highest Dirty rise during a job, KiB        (target <= 65536)
#   rss       peak resident set of the writer plus that of its largest child
#             (the decompressor), KiB                        (target <= 262144)
#   temp      the most temporary space a job used, KiB        (0 when streamed)
# In the last round the device is filled with 0xFF before each unverified
# writer run and compared with the image after it.
#
# maps: a sparse 1 GiB ext4 image holding about 250 MiB of files, raw and
# xz -T0, with its block map from bmaptool create. Each round runs, for each:
#   bmaptool  bmaptool copy --bmap MAP IMAGE DEV
#   writer    the writer, which finds the map beside the image
#   no-map    the writer told not to use maps (the whole image)
# Prints the medians, writer / bmaptool (target <= 1.05), writer / no-map,
# and the Dirty rise and resident set as above. In the last round the device
# is filled with 0xFF before the writer's run; after it the mapped blocks
# must hold the image, the rest of the first MiB zeros, and all else 0xFF.
#
#   sudo bash bench/stick_bench.sh [BUILD_DIR]     (default: build)
# BENCH_DIR=/var/tmp/x keeps the images between runs; ROUNDS (3), STICKS
# ("usb2 usb3") and PARTS ("formats maps") choose what runs.
set -euo pipefail
shopt -s inherit_errexit  # a failed run inside $(...) ends the benchmark

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT_DIR/bench/lib.sh"
bench_setup "loop devices, cgroups" "${1:-}"
ROUNDS="${ROUNDS:-3}"
STICKS="${STICKS:-usb2 usb3}"
PARTS="${PARTS:-formats maps}"

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
        image.img.zst) echo zstd ;; sparse.img.xz) echo "xz -T0" ;; *) echo raw ;;
    esac
}
target() { case "$1" in *.xz) echo 1.05 ;; *) echo 1.03 ;; esac; }
# images DIR SIZE: the file system and its compressed forms.
images() {
    mkdir -p "$1"
    [ -f "$1/image.iso" ] || { echo "building $1/image.iso ($2)..."; make_fs_image "$1/image.iso" "$2"; }
    [ -f "$1/image.img.xz" ] || xz -6 -T1 -c "$1/image.iso" > "$1/image.img.xz"
    [ -f "$1/image.mt.img.xz" ] || xz -6 -T0 -c "$1/image.iso" > "$1/image.mt.img.xz"
    [ -f "$1/image.img.zst" ] || zstd -3 -q -c "$1/image.iso" > "$1/image.img.zst"
}
# sparse_images DIR: the sparse file system, its map (which the writer finds
# as IMAGE.bmap, and for the xz form as the name without .xz plus .bmap).
sparse_images() {
    mkdir -p "$1"
    [ -f "$1/sparse.img" ] || { echo "building $1/sparse.img..."; make_fs_image "$1/sparse.img" 1G 0.27; }
    [ -f "$1/sparse.img.bmap" ] || bmaptool -q create -o "$1/sparse.img.bmap" "$1/sparse.img"
    [ -f "$1/sparse.img.xz" ] || xz -6 -T0 -c "$1/sparse.img" > "$1/sparse.img.xz"
}
# alone IMAGE: its decompressor on its own, as anyone would run it, into ALONE.
alone() {
    case "$1" in
        *.xz) ALONE=(xz -T0 -dc "$1") ;; *.zst) ALONE=(zstd -dc "$1") ;;
    esac
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
# fill_ff BYTES: 0xFF over the device's first BYTES (whole 8 MiB chunks).
fill_ff() {
    { tr '\0' '\377' < /dev/zero || true; } | dd of="$DEV" bs=8M count="$((($1 + 8388607) / 8388608))" \
        iflag=fullblock oflag=direct conv=fsync status=none
}

run_writer() {
    local stats
    stats=$(in_group "$DRIVER" "$@" "$DEV" "$WORK/tmp/" 2>&1 >/dev/null) || { echo "writer failed: $stats" >&2; exit 1; }
    echo "$stats"
}

# check_mapped RAW MAP: the device holds RAW's mapped blocks, zeros in the
# rest of its first MiB, and 0xFF in all else up to RAW's size.
check_mapped() {
    python3 - "$1" "$2" "$DEV" <<'PY'
import re, sys
raw, bmap, dev = sys.argv[1:]
text = open(bmap).read()
block = int(re.search(r"<BlockSize>\s*(\d+)", text).group(1))
size = int(re.search(r"<ImageSize>\s*(\d+)", text).group(1))
mapped = set()
for first, last in re.findall(r">\s*(\d+)(?:-(\d+))?\s*</Range>", text):
    mapped.update(range(int(first), int(last or first) + 1))
with open(raw, "rb") as image, open(dev, "rb") as device:
    for b in range((size + block - 1) // block):
        want = image.read(block)
        got = device.read(len(want))
        if b not in mapped:
            want = (b"\0" if b * block < 1 << 20 else b"\xff") * len(want)
        if got != want:
            sys.exit("the device differs from what it should hold in block %d" % b)
PY
}

mkdir -p "$WORK/tmp"
mkdir -p "$CG"
declare -A RESULT MAPRESULT
for stick in $STICKS; do
    case "$stick" in
        usb2) W_BPS=20000000; R_BPS=35000000; DIR="$WORK/512m"; FS=512M ;;
        usb3) W_BPS=80000000; R_BPS=150000000; DIR="$WORK/1g"; FS=1G ;;
        *) echo "unknown stick $stick" >&2; exit 2 ;;
    esac
    [[ " $PARTS " != *" formats "* ]] || images "$DIR" "$FS"
    [[ " $PARTS " != *" maps "* ]] || sparse_images "$WORK/sparse"
    # A loop device that takes the largest image, for each stick.
    [ -z "$DEV" ] || losetup -d "$DEV"
    truncate -s $((1024 * 1024 * 1024 + 64 * 1024 * 1024)) "$WORK/stick.img"
    DEV=$(losetup -f --show --direct-io=on "$WORK/stick.img")
    majmin=$(printf '%d:%d' "0x$(stat -c %t "$DEV")" "0x$(stat -c %T "$DEV")")
    echo "$majmin $W_BPS" > "$CG/blkio.throttle.write_bps_device"
    echo "$majmin $R_BPS" > "$CG/blkio.throttle.read_bps_device"
    settle
    w=$(dd_rate if=/dev/zero of="$DEV" bs=8M count=32 oflag=direct conv=fsync)
    r=$(dd_rate if="$DEV" of=/dev/null bs=8M count=32 iflag=direct)
    echo "$stick: $DEV ($majmin) throttled to $W_BPS B/s write, $R_BPS B/s read;" \
         "dd measures $w MB/s write, $r MB/s read"

    if [[ " $PARTS " == *" formats "* ]]; then
    RAW="$DIR/image.iso"
    SIZE=$(stat -c %s "$RAW")
    CHUNKS=$(((SIZE + 8388607) / 8388608))
    echo "$stick formats: image $SIZE bytes"
    DW=() DR=()
    declare -A DEC=() WR=() WV=() DIRTY=() RSS=() TEMP=()
    for round in $(seq "$ROUNDS"); do
        settle; DW+=("$(timed in_group dd if="$RAW" of="$DEV" bs=8M oflag=direct conv=fsync status=none)")
        settle; DR+=("$(timed in_group dd if="$DEV" of=/dev/null bs=8M iflag=direct count="$CHUNKS" status=none)")
        line="round $round: dd-w ${DW[-1]} s, dd-r ${DR[-1]} s"
        for img in $IMAGES; do
            if [ "$img" != image.iso ]; then
                alone "$DIR/$img"
                settle; DEC[$img]+=" $(timed to_null in_group "${ALONE[@]}")"
            fi
            for verify in "" --verify; do
                [ "$round" -ne "$ROUNDS" ] || [ -n "$verify" ] || fill_ff "$SIZE"
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
        RESULT[$stick/$img]="$(printf '%-6s %-15s %7.2f %7.2f %7.2f %6.3f %6s %8.2f %8.2f %7.3f %8s %8s %6s' \
            "$stick" "$(label "$img")" "$dec" "$mdw" "$mw" "$(ratio "$mw" "$floor")" "$(target "$img")" \
            "$mv" "$(echo "$floor + $mdr" | bc)" "$(ratio "$mv" "$(echo "$floor + $mdr" | bc)")" \
            "$(maxof ${DIRTY[$img]})" "$(maxof ${RSS[$img]})" "$(maxof ${TEMP[$img]})")"
    done
    unset DEC WR WV DIRTY RSS TEMP
    fi

    if [[ " $PARTS " == *" maps "* ]]; then
    SP="$WORK/sparse"
    SIZE=$(stat -c %s "$SP/sparse.img")
    echo "$stick maps: image $SIZE bytes, $(du -k "$SP/sparse.img" | cut -f1) KiB allocated," \
         "$(sed -n 's/^ *<MappedBlocksCount> *\([0-9]*\).*/\1/p' "$SP/sparse.img.bmap") blocks mapped"
    declare -A BM=() WM=() WN=() DIRTY=() RSS=()
    for round in $(seq "$ROUNDS"); do
        line="round $round"
        for img in sparse.img sparse.img.xz; do
            settle; BM[$img]+=" $(timed in_group bmaptool -q copy --bmap "$SP/sparse.img.bmap" "$SP/$img" "$DEV")"
            [ "$round" -ne "$ROUNDS" ] || fill_ff "$SIZE"
            settle; stats=$(run_writer "$SP/$img")
            [ "$(field map "$stats")" = used ] || { echo "$img: the writer did not use the map: $stats" >&2; exit 1; }
            WM[$img]+=" $(field seconds "$stats")"
            DIRTY[$img]+=" $(field dirty_rise_kib "$stats")"
            RSS[$img]+=" $(($(field peak_rss_kib "$stats") + $(field child_rss_kib "$stats")))"
            if [ "$round" -eq "$ROUNDS" ]; then
                settle; check_mapped "$SP/sparse.img" "$SP/sparse.img.bmap"
            fi
            settle; stats=$(run_writer --no-map "$SP/$img")
            WN[$img]+=" $(field seconds "$stats")"
            DIRTY[$img]+=" $(field dirty_rise_kib "$stats")"
            RSS[$img]+=" $(($(field peak_rss_kib "$stats") + $(field child_rss_kib "$stats")))"
            line+=", $(label "$img"): $(last "${BM[$img]}") / $(last "${WM[$img]}") / $(last "${WN[$img]}") s"
        done
        echo "$line   (bmaptool / writer / no-map)"
    done
    echo "$stick: after the writer's last mapped writes the device held the mapped blocks, zeros and 0xFF"
    for img in sparse.img sparse.img.xz; do
        # shellcheck disable=SC2086
        mb=$(median ${BM[$img]}); mw=$(median ${WM[$img]}); mn=$(median ${WN[$img]})
        # shellcheck disable=SC2086
        MAPRESULT[$stick/$img]="$(printf '%-6s %-7s %8.2f %7.2f %6.3f %7.2f %10.3f %8s %8s' \
            "$stick" "$(label "$img")" "$mb" "$mw" "$(ratio "$mw" "$mb")" "$mn" "$(ratio "$mw" "$mn")" \
            "$(maxof ${DIRTY[$img]})" "$(maxof ${RSS[$img]})")"
    done
    unset BM WM WN DIRTY RSS
    fi
done

echo
if [[ " $PARTS " == *" formats "* ]]; then
    echo "medians in seconds; ratio <= target, ratio-v <= 1.10, dirty <= 65536 KiB, rss <= 262144 KiB, temp 0 when streamed"
    printf '%-6s %-15s %7s %7s %7s %6s %6s %8s %8s %7s %8s %8s %6s\n' \
        stick image alone dd-w writer ratio target writer-v floor-v ratio-v dirtyKiB rssKiB tmpKiB
    for stick in $STICKS; do
        for img in $IMAGES; do echo "${RESULT[$stick/$img]}"; done
    done
fi
if [[ " $PARTS " == *" maps "* ]]; then
    echo
    echo "block maps, unverified, medians in seconds; ratio = writer / bmaptool <= 1.05, dirty <= 65536 KiB, rss <= 262144 KiB"
    printf '%-6s %-7s %8s %7s %6s %7s %10s %8s %8s\n' \
        stick image bmaptool writer ratio no-map map/no-map dirtyKiB rssKiB
    for stick in $STICKS; do
        for img in sparse.img sparse.img.xz; do echo "${MAPRESULT[$stick/$img]}"; done
    done
fi
