#!/usr/bin/env bash
# Sets up a Debian machine, builds the updater with its tests and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${SKIP_SETUP:-0}" != "1" ]; then
    scripts/setup.sh
fi
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" --timeout 300
