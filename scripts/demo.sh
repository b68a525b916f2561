#!/usr/bin/env bash
# Installs what is missing, builds the demo and runs a download and a receive against the
# simulated box.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target vandrelux-demo
build/release/src/demo/vandrelux-demo "$@"
