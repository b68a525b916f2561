#!/usr/bin/env bash
# Builds the release programs and runs every benchmark; prints the table on standard output.
# Needs socat, lrzsz and ser2net (sudo apt-get install socat lrzsz ser2net, or
# scripts/install-deps.sh). Options go to bench/bench.py: --size-mib N, --idle-seconds S, --keep,
# --remote-only, --many-only.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in socat sz rz ser2net python3; do
    if ! command -v "$tool" > /dev/null; then
        echo "bench: $tool is missing: sudo apt-get install socat lrzsz ser2net python3" >&2
        exit 2
    fi
done
cmake --preset release > /dev/null
cmake --build --preset release --target vandrelux-cli vandrelux-boxsim vandrelux > /dev/null
mkdir -p build/release/bench
cc -O2 -Wall -Wextra -o build/release/bench/leanpeer bench/leanpeer.c
exec python3 bench/bench.py --bin build/release/src --lean-peer build/release/bench/leanpeer "$@"
