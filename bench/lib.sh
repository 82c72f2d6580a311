# Shared by the benchmarks (source it): the realistic image, timing, medians,
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

# build_driver ROOT BUILD: builds bench/writer_bench; sets DRIVER.
build_driver() {
    cmake -S "$1" -B "$2" -G Ninja >/dev/null
    cmake --build "$2" -j2 --target writer_bench >/dev/null
    DRIVER="$2/bench/writer_bench"
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
