#!/usr/bin/env bash
# Runs the whole suite N times in a row (ctest -j$(nproc)) in a build folder that
# scripts/test.sh has built (BUILD_DIR, default build) and prints, per test, in how many runs
# it failed. The output of every run that had a failure is kept; the exit status is 1 when any
# test failed. Two runs of the suite on one machine share the update server's fixed UDP ports:
# run it alone, or give it a loopback of its own with unshare -n (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-}
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 N" >&2
    exit 2
fi
cd "${BUILD_DIR:-build}"
logs=$(mktemp -d "${TMPDIR:-/tmp}/stress-tests.XXXXXX")

declare -A failures
mapfile -t tests < <(ctest -N | sed -n 's/^ *Test *#[0-9]*: //p')
for test in "${tests[@]}"; do
    failures[$test]=0
done

failedRuns=0
for ((run = 1; run <= runs; run++)); do
    log=$logs/run-$run.log
    if QT_QPA_PLATFORM=offscreen ctest -j"$(nproc)" --timeout 300 --output-on-failure \
        >"$log" 2>&1; then
        rm -f "$log"
        echo "run $run/$runs: passed"
        continue
    fi
    failedRuns=$((failedRuns + 1))
    # ctest ends with "The following tests FAILED:" and one "<n> - <name> (<why>)" per test.
    mapfile -t failed < <(sed -n '/^The following tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$log")
    for test in "${failed[@]}"; do
        failures[$test]=$((${failures[$test]:-0} + 1))
    done
    echo "run $run/$runs: failed: ${failed[*]:-(no test named, see $log)}"
done

echo
echo "Failures per test in $runs runs:"
for test in "${tests[@]}"; do
    printf '%6d  %s\n' "${failures[$test]}" "$test"
done
if [ "$failedRuns" -eq 0 ]; then
    rmdir "$logs"
    echo "All $runs runs passed."
    exit 0
fi
echo "$failedRuns of $runs runs failed; their output is in $logs."
exit 1
