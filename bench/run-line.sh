#!/usr/bin/env bash
# Builds the release station and line server and runs the line server's benchmark
# (bench/line.py: ten stations of 100,000 units each into PostgreSQL); a few minutes.
# Options go to bench/line.py: --stations N, --units N, --keep.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release > /dev/null
cmake --build --preset release --target vandrelux-cli vandrelux-line > /dev/null
exec python3 bench/line.py --bin build/release/src "$@"
