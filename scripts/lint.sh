#!/usr/bin/env bash
# Fails when a C or C++ file in the tree is not laid out as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."

git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "format: every file as .clang-format lays it out"
