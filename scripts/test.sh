#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake --preset dev -DVANDRELUX_WERROR="$werror"
cmake --build --preset dev
ctest --preset dev
