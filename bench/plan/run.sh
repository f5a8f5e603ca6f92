#!/bin/sh
# Times the product ini compilation over 10 000 installed, current files (about 1 GiB) against
# md5sum over the same files, in one run. Usage: bench/plan/run.sh [build folder]
set -eu

src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$src/build-plan}
files=10000
bytes=107374 # 10 000 files of this size make 1 GiB
rounds=3

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j8 --target bench_makedownloadreplacelist >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/app" "$work/temp"
# The compilation resolves installed files against the folder of the running program.
cp "$build/bench/plan/bench_makedownloadreplacelist" "$work/app/"
bench="$work/app/bench_makedownloadreplacelist"

echo "building $files files of $bytes bytes in $work"
"$bench" generate "$work/temp" "$files" "$bytes"
find "$work/app/data" -type f | sort >"$work/list"
xargs cat <"$work/list" >/dev/null # the same warm cache for both

now() { date +%s.%N; }
median() { sort -n | sed -n "$(( (rounds + 1) / 2 ))p"; }

: >"$work/compile"
: >"$work/md5sum"
i=0
while [ "$i" -lt "$rounds" ]; do
    "$bench" compile "$work/temp" 2>/dev/null >>"$work/compile"
    start=$(now)
    xargs md5sum <"$work/list" >/dev/null
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }' >>"$work/md5sum"
    i=$((i + 1))
done

compile=$(median <"$work/compile")
md5=$(median <"$work/md5sum")
printf 'files: %d, bytes: %d, rounds: %d (medians)\n' "$files" "$((files * bytes))" "$rounds"
printf 'compilation: %.3f s\n' "$compile"
printf 'md5sum:      %.3f s\n' "$md5"
awk -v c="$compile" -v m="$md5" 'BEGIN { printf "ratio:       %.2f\n", c / m }'
