#!/usr/bin/env bash
# Installs what is missing, builds everything, checks the layout of every file, what clang-tidy
# finds in src/, and that every link in the documentation leads somewhere and every option of
# --help is documented; runs every test, the Debian package of the dev build and its
# installation among them; then runs them all again under the address and undefined-behaviour
# sanitizers, and the serial, end-to-end, web API and line server tests under ThreadSanitizer; a
# short run of each fuzz target comes in between. Last, the Windows programs are cross-compiled and their
# tests run under Wine, the end-to-end cases against the dev build's box simulator, and the zip
# and the installer are made and installed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake --preset dev -DVANDRELUX_WERROR="$werror"
cmake --build --preset dev
scripts/lint.sh build/dev
scripts/check-docs.py build/dev
ctest --preset dev

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

fuzz/run-smoke.sh 15

cmake --preset tsan
cmake --build --preset tsan --target serial_tests device_tests toolkit_tests engine_tests \
    vandrelux-cli vandrelux-boxsim vandrelux-line line_tests
# ThreadSanitizer needs a fixed address layout on kernels with wide mmap randomisation.
setarch "$(uname -m)" -R ctest --preset tsan -R '^(ComPort|SerialDevice|NetworkDevice|Event|Engine|e2e|http|line)' \
    -E 'window|browser'

cmake --preset win64
cmake --build --preset win64
# The tests leave a persistent wineserver behind for speed; it goes when the stage ends.
trap 'WINEPREFIX="$PWD/build/win64/wine/prefix" wineserver -k 2>/dev/null || true' EXIT
ctest --preset win64 --timeout 300
