#!/usr/bin/env bash
# Fails when a C or C++ file in the tree is not laid out as .clang-format says, and, given a
# build folder with its compile commands, when clang-tidy finds anything in src/ by the
# checked-in .clang-tidy. The Windows sources need the cross compiler's view and are left out.
# Usage: scripts/lint.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "format: every file as .clang-format lays it out"

build=${1:-}
[ -n "$build" ] || exit 0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
run-clang-tidy -p "$build" -j "$(nproc)" -quiet "$PWD/src/(?!.*win32/)" > "$log" 2>&1 || true
if grep -E '(warning|error): ' "$log" | grep -v 'warnings generated' > /dev/null; then
    sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E -A3 '(warning|error): ' >&2
    echo "tidy: findings in src/ (above)" >&2
    exit 1
fi
echo "tidy: no findings in src/"
