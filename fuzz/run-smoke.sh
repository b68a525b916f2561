#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a short, bounded time from the seed corpus.
# Usage: fuzz/run-smoke.sh [SECONDS per target, default 15]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-15}
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in ReceiveFuzz DownloadFuzz IniFuzz ParseFuzz TelnetFuzz; do
    mkdir -p "$work/$target"
    # New inputs go to the scratch folder; the checked-in seeds are only read.
    build/fuzz/fuzz/$target -max_total_time="$seconds" -print_final_stats=0 \
        -artifact_prefix="$work/" "$work/$target" "fuzz/corpus/$target" 2> "$work/$target.log" || {
        tail -40 "$work/$target.log"
        echo "$target: FAILED (a crashing input was saved in $work)" >&2
        exit 1
    }
    echo "$target: $(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$work/$target.log")"
done
