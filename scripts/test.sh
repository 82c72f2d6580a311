#!/usr/bin/env bash
# Sets up (installs missing packages when run as root), builds and runs every
# test through CTest.
#   bash scripts/test.sh                       plain build, all tests
#   bash scripts/test.sh --sanitize=LIST       instrumented build (build-LIST)
#   bash scripts/test.sh ... --label=L         only tests labelled L
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

sanitize="" label=""
for arg in "$@"; do
    case "$arg" in
        --sanitize=*) sanitize="${arg#--sanitize=}" ;;
        --label=*) label="${arg#--label=}" ;;
        *) echo "unknown argument: $arg" >&2; exit 2 ;;
    esac
done

install_missing $BUILD_PACKAGES $RUN_PACKAGES $TEST_PACKAGES
build_dir="$ROOT_DIR/build${sanitize:+-${sanitize//,/-}}"
setup_and_build "$build_dir" "$sanitize"

# The real disk service for the tests that use it (root only).
if [ "$(id -u)" -eq 0 ]; then
    bash "$ROOT_DIR/scripts/system-services.sh" start
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT_DIR/tests/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

ctest_args=(--test-dir "$build_dir" --output-on-failure -j 2)
[ -n "$label" ] && ctest_args+=(-L "$label")
ctest "${ctest_args[@]}"
