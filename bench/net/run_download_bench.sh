#!/usr/bin/env bash
# Builds and runs the download benchmark: one 1 GiB file from nginx on loopback, through
# DownloadTaskSpecification and with curl -o, with times, ratio and peak memory.
# Usage: bench/net/run_download_bench.sh [build folder] [size in bytes]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="${1:-$source_dir/build-bench}"
size="${2:-1073741824}"
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target bench_download >/dev/null
# The 1 GiB files live in a temporary folder that the benchmark removes itself.
exec "$build_dir/bench/net/bench_download" "$size"
