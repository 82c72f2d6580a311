#!/usr/bin/env bash
# Clears sparse loop devices that hold a hybrid ISO installer written over an
# old GPT disk (so a backup GPT lies in the last sectors), three rounds each,
# alternating, and compares in the same run:
#   clear-16G  bench/clear_bench (DeviceImageWriter::ClearDevice) on 16 GiB
#   clear-1G   the same on 1 GiB: a clear's time must not grow with the size
#   wipefs-16G wipefs -a, then 1024 zero bytes with dd conv=fsync, on 16 GiB
# Each round checks that blkid -p and wipefs find nothing afterwards and that
# the backup GPT is gone. Prints the medians and the ratios
# clear-16G/clear-1G and clear-16G/wipefs-16G.
#
#   sudo bash bench/clear_bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT_DIR/bench/lib.sh"
[ "$(id -u)" -eq 0 ] || { echo "needs root (loop devices)" >&2; exit 2; }
BUILD="${1:-$ROOT_DIR/build}"
cmake -S "$ROOT_DIR" -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j2 --target clear_bench >/dev/null
DRIVER="$BUILD/bench/clear_bench"

work_dir clear-bench
DEV=""
cleanup() {
    [ -n "$DEV" ] && losetup -d "$DEV" 2>/dev/null || true
    [ "$KEEP" -eq 1 ] || rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/iso/isolinux"
cp /usr/lib/ISOLINUX/isolinux.bin "$WORK/iso/isolinux/"
xorriso -as mkisofs -quiet -V INSTALLER -o "$WORK/x.iso" \
    -isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -b isolinux/isolinux.bin \
    -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 -boot-info-table "$WORK/iso" 2>/dev/null

# stick SIZE: a fresh sparse stick of SIZE in DEV, holding the installer.
stick() {
    [ -n "$DEV" ] && losetup -d "$DEV"
    rm -f "$WORK/stick"
    truncate -s "$1" "$WORK/stick"
    sgdisk -o "$WORK/stick" >/dev/null
    dd if="$WORK/x.iso" of="$WORK/stick" conv=notrunc status=none
    DEV="$(losetup -f --show "$WORK/stick")"
    settle
}

# check: nothing left for blkid, wipefs, nor a GPT header at the end.
check() {
    local found
    found="$(blkid -p "$DEV"; wipefs "$DEV"; tail -c 512 "$DEV" | grep -a -c 'EFI PART' || true)"
    [ "$found" = 0 ] || { echo "not cleared: $found" >&2; exit 1; }
}

declare -a c16 c1 w16
for round in 1 2 3; do
    stick 16G
    line="$("$DRIVER" "$DEV" 2>&1 >/dev/null)"
    [ "$(field result "$line")" = 1 ] || { echo "clear failed: $line" >&2; exit 1; }
    check
    c16+=("$(field seconds "$line")")

    stick 1G
    line="$("$DRIVER" "$DEV" 2>&1 >/dev/null)"
    check
    c1+=("$(field seconds "$line")")

    stick 16G
    t0="$(now)"
    wipefs -a -q "$DEV" 2>/dev/null
    dd if=/dev/zero of="$DEV" bs=1024 count=1 conv=fsync status=none
    t1="$(now)"
    check
    w16+=("$(echo "$t1 - $t0" | bc)")
done

m16="$(median "${c16[@]}")" m1="$(median "${c1[@]}")" mw="$(median "${w16[@]}")"
echo "clear-16G:  median ${m16} s (${c16[*]})"
echo "clear-1G:   median ${m1} s (${c1[*]})"
echo "wipefs-16G: median ${mw} s (${w16[*]})"
echo "clear-16G / clear-1G:   $(ratio "$m16" "$m1")"
echo "clear-16G / wipefs-16G: $(ratio "$m16" "$mw")"
