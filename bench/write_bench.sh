#!/usr/bin/env bash
# Writes a realistic 1 GiB image onto a loop device several ways, three rounds
# each, alternating, and compares them in the same run:
#   writer     bench/writer_bench (DeviceImageWriter: gunzip to a temporary
#              file, then an 8 MiB-chunk direct copy and a flush)
#   baseline   gunzip -c IMG > TMP; dd if=TMP of=DEV bs=8M oflag=direct conv=fsync
#   streaming  gunzip -c IMG | dd of=DEV bs=8M iflag=fullblock oflag=direct conv=fsync
#   writer-v   the writer with verification (the read-back after the flush)
#   baseline-v the baseline, then
#              dd if=DEV iflag=direct bs=8M count=N | cmp -n SIZE - TMP
#   raw-v      the writer with verification, the image decompressed beforehand
#              as image.iso (no temporary copy)
#   dd-raw-v   dd if=ISO of=DEV bs=8M oflag=direct conv=fsync, then the same
#              direct read-back through cmp
# The loop device uses --direct-io=on, so like a stick it does not write
# through the backing file's page cache. Prints medians, the ratios
# writer/baseline, writer/streaming, writer-v/baseline-v and raw-v/dd-raw-v,
# the writer's Dirty rise during its copy (and verify) stage and its peak RSS
# over all its runs, the time from its last progress call to its completion
# (unverified runs), and checks the written device byte for byte (cmp).
#
#   sudo bash bench/write_bench.sh [BUILD_DIR]     (default: build)
# BENCH_DIR=/var/tmp/x reuses (or keeps) the images between runs.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT_DIR/bench/lib.sh"
bench_setup "loop devices, mounts" "${1:-}"

work_dir writer-bench
IMG="$WORK/image.img.gz"
ISO="$WORK/image.iso"
TMPDIR_W="$WORK/tmp/"
mkdir -p "$TMPDIR_W"
DEV=""
cleanup() {
    [ -n "$DEV" ] && losetup -d "$DEV" 2>/dev/null || true
    [ "$KEEP" -eq 1 ] || rm -rf "$WORK"
}
trap cleanup EXIT

# The image: a 1 GiB ext4 file system filled with real files.
if [ ! -f "$IMG" ]; then
    echo "building the image (1 GiB ext4 filled from /usr/share and /usr/lib, gzip -6)..."
    raw="$WORK/image.img"
    make_fs_image "$raw" 1G
    gzip -6 -n -c "$raw" > "$IMG"
    rm -f "$raw"
fi
[ -f "$ISO" ] || gzip -dc "$IMG" > "$ISO"
SIZE=$(stat -c %s "$ISO")
CHUNKS=$(((SIZE + 8388607) / 8388608))
echo "image: $(du -h "$IMG" | cut -f1) compressed, $SIZE bytes decompressed (raw: $ISO)"

BACKING="$WORK/stick.img"
truncate -s $((SIZE + 64 * 1024 * 1024)) "$BACKING"
DEV=$(losetup -f --show --direct-io=on "$BACKING")
echo "device: $DEV (direct I/O loop over $BACKING)"

# Each run prints its seconds; a writer run prints writer_bench's line instead.
run_writer() {
    local stats
    stats=$("$DRIVER" "$@" "$DEV" "$TMPDIR_W" 2>&1 >/dev/null) || { echo "writer failed: $stats" >&2; exit 1; }
    echo "$stats"
}
readback() { dd if="$DEV" iflag=direct bs=8M count="$CHUNKS" status=none | cmp -n "$SIZE" - "$1"; }
run_baseline() {
    local t0 t1
    t0=$(now)
    gunzip -c "$IMG" > "${TMPDIR_W}veskImage.img"
    dd if="${TMPDIR_W}veskImage.img" of="$DEV" bs=8M oflag=direct conv=fsync status=none
    [ "${1:-}" != verify ] || readback "${TMPDIR_W}veskImage.img"
    rm "${TMPDIR_W}veskImage.img"
    t1=$(now)
    echo "$t1 - $t0" | bc
}
run_streaming() {
    local t0 t1
    t0=$(now)
    gunzip -c "$IMG" | dd of="$DEV" bs=8M iflag=fullblock oflag=direct conv=fsync status=none
    t1=$(now)
    echo "$t1 - $t0" | bc
}
run_dd_raw() {
    local t0 t1
    t0=$(now)
    dd if="$ISO" of="$DEV" bs=8M oflag=direct conv=fsync status=none
    readback "$ISO"
    t1=$(now)
    echo "$t1 - $t0" | bc
}

W=() B=() S=() WV=() BV=() RV=() DV=() DIRTY=() RSS=() TAIL=()
writer_stats() {  # a writer run's seconds to $secs, its costs to DIRTY and RSS
    DIRTY+=("$(field dirty_rise_kib "$1")"); RSS+=("$(field peak_rss_kib "$1")")
    secs=$(field seconds "$1")
}
for round in 1 2 3; do
    settle; b=$(run_baseline); B+=("$b")
    settle; s=$(run_streaming); S+=("$s")
    if [ "$round" -eq 3 ]; then
        # Overwrite the device with 0xFF first, so the check below sees
        # only what the writer put there.
        { tr '\0' '\377' < /dev/zero || true; } | dd of="$DEV" bs=8M count="$CHUNKS" \
            iflag=fullblock oflag=direct conv=fsync status=none
    fi
    settle; stats=$(run_writer "$IMG")
    writer_stats "$stats"; W+=("$secs"); TAIL+=("$(field tail_ms "$stats")")
    echo "round $round: writer ${W[-1]} s, baseline $b s, streaming $s s" \
         "(writer: dirty rise ${DIRTY[-1]} KiB, peak RSS ${RSS[-1]} KiB, tail ${TAIL[-1]} ms)"
    [ "$round" -ne 3 ] || check=$(gzip -dc "$IMG" | cmp -n "$SIZE" - "$DEV" && echo ok || echo MISMATCH)
    settle; bv=$(run_baseline verify); BV+=("$bv")
    settle; stats=$(run_writer --verify "$IMG"); writer_stats "$stats"; WV+=("$secs")
    echo "round $round: writer-v ${WV[-1]} s, baseline-v $bv s" \
         "(writer-v: dirty rise ${DIRTY[-1]} KiB, peak RSS ${RSS[-1]} KiB)"
    settle; dv=$(run_dd_raw); DV+=("$dv")
    settle; stats=$(run_writer --verify "$ISO"); writer_stats "$stats"; RV+=("$secs")
    echo "round $round: raw-v ${RV[-1]} s, dd-raw-v $dv s" \
         "(raw-v: dirty rise ${DIRTY[-1]} KiB, peak RSS ${RSS[-1]} KiB)"
done

if [ "$check" = ok ]; then
    echo "cmp: the device holds the image byte for byte ($SIZE bytes)"
else
    echo "cmp: MISMATCH" >&2; exit 1
fi

mw=$(median "${W[@]}"); mb=$(median "${B[@]}"); ms=$(median "${S[@]}")
mwv=$(median "${WV[@]}"); mbv=$(median "${BV[@]}"); mrv=$(median "${RV[@]}"); mdv=$(median "${DV[@]}")
echo "median seconds: writer $mw, baseline $mb, streaming $ms"
echo "median seconds: writer-v $mwv, baseline-v $mbv, raw-v $mrv, dd-raw-v $mdv"
echo "writer/baseline      = $(echo "scale=3; $mw / $mb" | bc)   (target <= 1.05)"
echo "writer/streaming     = $(echo "scale=3; $mw / $ms" | bc)"
echo "writer-v/baseline-v  = $(echo "scale=3; $mwv / $mbv" | bc)   (target <= 1.05)"
echo "raw-v/dd-raw-v       = $(echo "scale=3; $mrv / $mdv" | bc)   (target <= 1.03)"
echo "Dirty rise during copy and verify: max $(maxof "${DIRTY[@]}") KiB   (target <= 65536)"
echo "peak RSS: max $(maxof "${RSS[@]}") KiB   (target <= 32768)"
echo "last progress -> completion (unverified): max $(maxof "${TAIL[@]}") ms   (target <= 1000)"
