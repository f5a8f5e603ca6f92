#!/usr/bin/env bash
# Sets up a Debian machine, builds the updater with its tests and runs every test.
# With --sanitize the same happens in a build of its own with AddressSanitizer (leaks included)
# and UndefinedBehaviorSanitizer, and any report of theirs fails the run, also one from a
# program that a test starts.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
sanitize=0
case "${1:-}" in
    --sanitize) sanitize=1 ;;
    "") ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
esac
if [ "${SKIP_SETUP:-0}" != "1" ]; then
    scripts/setup.sh
fi

cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "$sanitize" = 1 ]; then
    BUILD_DIR="${BUILD_DIR:-build-sanitize}"
    flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    cmake_args+=("-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags"
                 "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"
                 -DUPDATER_TEST_TIMEOUT=900)
fi
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" "${cmake_args[@]}"
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"

if [ "$sanitize" = 0 ]; then
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" --timeout 300
    exit
fi

# Reports go to files, so that those of programs run by the tests (whose output the tests
# read themselves) are not lost. The full unwind lets suppressions see frames inside Qt.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:fast_unwind_on_malloc=0:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
status=0
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
        echo "==== sanitizer report $(basename "$report")"
        cat "$report"
    done
    echo "Sanitizer reports found: the run fails."
    status=1
fi
exit "$status"
