# Shared by run.sh and test.sh: installs what is missing (as root), configures
# and builds. Source it; it defines setup_and_build.

set -euo pipefail
ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

BUILD_PACKAGES="cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-l10n-tools libgl-dev librsvg2-bin libxxhash-dev libblkid-dev libzstd-dev libssl-dev"
RUN_PACKAGES="gzip xz-utils zstd bzip2 coreutils udisks2 dbus libxxhash0 libblkid1 libzstd1 libssl3 dosfstools exfatprogs"
TEST_PACKAGES="udev util-linux e2fsprogs dosfstools gdisk xorriso isolinux mtools exfat-fuse python3 python3-dbus python3-gi python3-dbusmock python3-fusepy fuse3 policykit-1 xvfb xauth procps"
# The benchmarks (bench/): bmaptool is the baseline of writes with a block map.
BENCH_PACKAGES="bmap-tools bc"
# Making the Debian package, and checking it and the desktop files.
PACKAGE_PACKAGES="dpkg-dev file"
PACKAGE_CHECK_PACKAGES="lintian appstream desktop-file-utils"

# install_missing PACKAGE...: apt-get installs those not installed (root only).
install_missing() {
    local missing=()
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# setup_and_build BUILD_DIR [SANITIZE]
setup_and_build() {
    local build_dir="$1" sanitize="${2:-}"
    cmake -S "$ROOT_DIR" -B "$build_dir" -G Ninja -DSANITIZE="$sanitize" >/dev/null
    cmake --build "$build_dir" -j "$(nproc)"
}
