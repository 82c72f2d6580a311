# Shared by the benchmarks (source it after setting ROOT_DIR): the realistic image, timing, medians,
# and building the writer's driver.

# make_fs_image PATH SIZE: an ext4 file system of SIZE (truncate's units)
# filled with real files from /usr, the kind of content a disk image holds.
make_fs_image() {
    local raw="$1" size="$2" mnt
    mnt="$(mktemp -d /var/tmp/bench-mnt-XXXXXX)"
    truncate -s "$size" "$raw"
    mkfs.ext4 -q -F "$raw"
    mount -o loop "$raw" "$mnt"
    for src in /usr/share/doc /usr/share/man /usr/share/locale /usr/share/zoneinfo \
               /usr/share/i18n /usr/lib/python3 /usr/lib/gcc /usr/share/fonts \
               /usr/lib/x86_64-linux-gnu /usr/share; do
        used=$(df --output=pcent "$mnt" | tail -1 | tr -dc 0-9)
        [ "$used" -ge 85 ] && break
        [ -e "$src" ] && cp -a "$src" "$mnt/" 2>/dev/null || true
    done
    df -h "$mnt" | tail -1 | awk '{print "image file system: " $3 " used of " $2}'
    umount "$mnt"
    rmdir "$mnt"
}

# bench_setup WHY [BUILD_DIR]: as root only (WHY says what for), builds
# bench/writer_bench in BUILD_DIR (default: build); sets DRIVER.
bench_setup() {
    [ "$(id -u)" -eq 0 ] || { echo "needs root ($1)" >&2; exit 2; }
    local build="${2:-$ROOT_DIR/build}"
    cmake -S "$ROOT_DIR" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" -j2 --target writer_bench >/dev/null
    DRIVER="$build/bench/writer_bench"
}

# work_dir NAME: WORK is $BENCH_DIR (kept: KEEP=1) or a new directory
# /var/tmp/NAME-XXXXXX (KEEP=0, for the caller's cleanup to remove).
work_dir() {
    if [ -n "${BENCH_DIR:-}" ]; then
        WORK="$BENCH_DIR"; KEEP=1; mkdir -p "$WORK"
    else
        WORK="$(mktemp -d "/var/tmp/$1-XXXXXX")"; KEEP=0
    fi
}

settle() { sync; echo 3 > /proc/sys/vm/drop_caches; }
now() { date +%s.%N; }
# The median of the arguments (the upper one of an even count).
median() { printf '%s\n' "$@" | sort -g | sed -n "$(($# / 2 + 1))p"; }
maxof() { printf '%s\n' "$@" | sort -g | tail -1; }
# ratio A B: A / B to three places.
ratio() { echo "scale=3; $1 / $2" | bc; }
# field NAME LINE: the value of NAME=value in a writer_bench line.
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$2"; }
