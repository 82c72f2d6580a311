# Shared by the benchmarks (source it after setting ROOT_DIR): the realistic image, timing, medians,
# and building the writer's driver.

# make_fs_image PATH SIZE [FULL]: an ext4 file system of SIZE (truncate's units)
# filled to FULL (a fraction of its blocks, 0.85 unless given) with real files
# from /usr, the kind of content a disk image holds. The file is sparse where
# nothing was written. Fails, saying why, when it cannot be filled so far.
make_fs_image() {
    local raw="$1" size="$2" full="${3:-0.85}" mnt
    mnt="$(mktemp -d /var/tmp/bench-mnt-XXXXXX)"
    truncate -s "$size" "$raw"
    # One inode per 8 KiB: /usr's many small files outnumber the default's.
    mkfs.ext4 -q -F -i 8192 "$raw"
    mount -o loop "$raw" "$mnt"
    # File by file until the share of used blocks reaches FULL; any error
    # (no space, no inodes) stops it with the error.
    local status=0
    python3 - "$mnt" "$full" /usr/share/doc /usr/share/man /usr/share/locale \
        /usr/share/zoneinfo /usr/share/i18n /usr/lib/python3 /usr/lib/gcc /usr/share/fonts \
        /usr/lib/x86_64-linux-gnu /usr/share <<'PY' || status=$?
import os, shutil, sys
mnt, full, sources = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
def used():
    st = os.statvfs(mnt)
    return 1 - st.f_bfree / st.f_blocks
for source in sources:
    for root, dirs, files in os.walk(source):
        dirs.sort()
        target = os.path.join(mnt, os.path.relpath(root, "/"))
        os.makedirs(target, exist_ok=True)
        for name in sorted(files):
            path = os.path.join(root, name)
            if os.path.isfile(path) and not os.path.islink(path):
                shutil.copyfile(path, os.path.join(target, name))
                if used() >= full:
                    sys.exit(0)
sys.exit("only %.0f %% full once every source was copied" % (100 * used()))
PY
    df -h "$mnt" | tail -1 | awk '{print "image file system: " $3 " used of " $2 " (" $5 ")"}'
    umount "$mnt"
    rmdir "$mnt"
    if [ "$status" -ne 0 ]; then
        echo "make_fs_image: $raw could not be filled to $full of its blocks" >&2
        rm -f "$raw"
        return 1
    fi
}

# bench_setup WHY [BUILD_DIR]: as root only (WHY says what for), builds
# bench/writer_bench in BUILD_DIR (default: build); sets DRIVER.
bench_setup() {
    [ "$(id -u)" -eq 0 ] || { echo "needs root ($1)" >&2; exit 2; }
    # shellcheck source=../scripts/common.sh
    source "$ROOT_DIR/scripts/common.sh"
    install_missing $BENCH_PACKAGES
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
