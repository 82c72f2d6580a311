#!/usr/bin/env bash
# How long the window waits to learn what an image holds: bench/image_probe
# (platform::ProbeImageContent, as the window's runner calls it) on a 4 GiB
# disk image, raw and compressed with xz (blocks as xz -T2 makes them), zstd
# and gzip. The image: GPT, a 255 MiB vfat partition at 1 MiB whose data area
# holds 12 MiB of real libraries' bytes from 4 MiB on, ext4 over the rest,
# sparse beyond.
# The baseline, in the same run: the decompressor alone giving the 16 MiB the
# probe reads (head -c 16M of the raw image).
#
#   bash bench/image_probe_bench.sh [BUILD_DIR]     (default: build)
#
# Prints for each image the median seconds of ROUNDS (5) probes with a warm
# page cache, the baseline's median, their ratio, and the summary line; as
# root also one probe after the page cache was dropped (cold). The target is
# under a second for every image.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT_DIR/bench/lib.sh"
BUILD="${1:-$ROOT_DIR/build}"
ROUNDS="${ROUNDS:-5}"
cmake -S "$ROOT_DIR" -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j2 --target image_probe >/dev/null
PROBE="$BUILD/bench/image_probe"

work_dir probe-bench
cleanup() { [ "$KEEP" -eq 1 ] || rm -rf "$WORK"; }
trap cleanup EXIT
cd "$WORK"

if [ ! -e disk.img.gz ]; then
    rm -f disk.img
    truncate -s 4G disk.img
    sgdisk -n1:1M:+255M -t1:ef00 -n2:256M:0 disk.img >/dev/null
    mkfs.vfat -F 32 -n BOOT --offset 2048 disk.img $((255 * 1024)) >/dev/null 2>&1
    mkfs.ext4 -q -F -L rootfs -E offset=$((256 << 20)) disk.img 3839M
    # (cat ends on SIGPIPE once head has its 12 MiB.)
    { cat /usr/lib/x86_64-linux-gnu/libQt6*.so.6.* || true; } | head -c 12M |
        dd of=disk.img bs=1M seek=4 conv=notrunc status=none
    xz -T2 -1 -k disk.img
    zstd -T2 -1 -q -k disk.img
    gzip -1 -k disk.img
fi

baseline() {
    case "$1" in
        *.xz) xz -T0 -dc -- "$1" ;; *.zst) zstd -dcq -- "$1" ;;
        *.gz) gunzip -c -- "$1" ;; *) cat -- "$1" ;;
    esac | head -c 16M >/dev/null || true  # the decompressor ends on SIGPIPE
}

printf '%-12s %8s %8s %7s %8s  %s\n' image probe-s base-s ratio cold-s summary
for image in disk.img disk.img.xz disk.img.zst disk.img.gz; do
    "$PROBE" "$image" >/dev/null  # warms the page cache
    probes=() bases=()
    for _ in $(seq "$ROUNDS"); do
        probes+=("$("$PROBE" "$image" | cut -f1)")
        start=$(now)
        baseline "$image"
        bases+=("$(echo "$(now) - $start" | bc)")
    done
    cold="-"
    if [ "$(id -u)" -eq 0 ]; then
        settle
        cold="$("$PROBE" "$image" | cut -f1)"
    fi
    p="$(median "${probes[@]}")" b="$(median "${bases[@]}")"
    printf '%-12s %8.3f %8.3f %7s %8s  %s\n' "$image" "$p" "$b" "$(ratio "$p" "$b")" "$cold" \
        "$("$PROBE" "$image" | cut -f2)"
done
