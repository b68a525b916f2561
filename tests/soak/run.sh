#!/usr/bin/env bash
# The full fault soak: an optimised build of the soak driver and the box simulator, then
# TRANSFERS transfers (default 240) with images up to 3 MiB. Prints the figures that
# docs/reliability.md quotes.
# Usage: tests/soak/run.sh [TRANSFERS] [SEED]
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset release > /dev/null
cmake --build --preset release --target vandrelux-soak vandrelux-boxsim > /dev/null
build/release/tests/soak/vandrelux-soak --boxsim build/release/src/boxsim/vandrelux-boxsim \
    --transfers "${1:-240}" --seed "${2:-1}" --max-bytes $((3 << 20))
