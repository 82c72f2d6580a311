#!/usr/bin/env bash
# Sets up (installs missing packages when run as root), builds and starts the
# application.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_missing $BUILD_PACKAGES $RUN_PACKAGES
setup_and_build "$ROOT_DIR/build"
exec "$ROOT_DIR/build/src/usb-image-writer" "$@"
