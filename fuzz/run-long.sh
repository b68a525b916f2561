#!/usr/bin/env bash
# The long fuzz run: each target for SECONDS (default 600) from the seed corpus, two at a time,
# at low priority. Prints one line per target: executions, coverage, corpus, and the verdict.
# Crashing inputs are kept in build/fuzz/long/ to become regression tests.
# Usage: fuzz/run-long.sh [SECONDS per target]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz > /dev/null
out=build/fuzz/long
rm -rf "$out"
mkdir -p "$out"

run() {
    local target=$1 verdict stats
    mkdir -p "$out/$target"
    if nice -n 19 build/fuzz/fuzz/$target -max_total_time="$seconds" -rss_limit_mb=2048 \
        -artifact_prefix="$out/$target-" "$out/$target" "fuzz/corpus/$target" \
        > "$out/$target.log" 2>&1; then
        verdict="no crash"
    else
        verdict="FAILED, see $out/$target.log"
    fi
    # A target that fails on a seed prints no statistics at all.
    stats=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$out/$target.log" | tail -1 |
            grep -Eo '#[0-9]+|cov: [0-9]+|corp: [0-9]+/[0-9a-zA-Z]+|exec/s: [0-9]+' |
            tr '\n' ' ' || true)
    echo "$target: ${seconds} s, $stats-> $verdict"
}

status=0
for pair in "ReceiveFuzz DownloadFuzz" "IniFuzz ParseFuzz" "TelnetFuzz"; do
    pids=()
    for target in $pair; do
        run "$target" > "$out/$target.summary" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || status=1
    done
    for target in $pair; do
        if grep -q "no crash" "$out/$target.summary"; then
            cat "$out/$target.summary"
        else
            echo "$target: FAILED, see $out/$target.log"
            status=1
        fi
    done
done
exit $status
