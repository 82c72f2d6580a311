#!/usr/bin/env bash
# Builds the Debian package (as root it installs missing packages first) and
# prints its path. Install it with: sudo apt-get install ./build/usb-image-writer_*.deb
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing $BUILD_PACKAGES $PACKAGE_PACKAGES
setup_and_build "$ROOT_DIR/build" "" >&2
cd "$ROOT_DIR/build"
rm -f usb-image-writer_*.deb
cpack -G DEB >&2
ls "$PWD"/usb-image-writer_*.deb
