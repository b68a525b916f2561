#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated box on a pseudo-terminal with three
# generated update files ticked, and opens the window on it. With no display the window runs
# offscreen: the download completes by itself, a screenshot is saved and the message log is
# printed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release > /dev/null
cmake --build --preset release --target vandrelux vandrelux-boxsim
bin=build/release/src

work=${1:-$(mktemp -d /tmp/vandrelux-demo.XXXXXX)}
mkdir -p "$work"
head -c 6000 /dev/urandom > "$work/bootstrap.bin"
head -c 9001 /dev/urandom > "$work/logo.bin"
head -c 65537 /dev/urandom > "$work/software.bin"
printf '[Setting]\r\nUpdateBootStrap=1\r\nBootStrapPath=%s\r\nUpdateLogo=1\r\nLogoPath=%s\r\nUpdateSoftware=1\r\nSoftwarePath=%s\r\nFlashloaderPath=%s\r\nPortNum=1\r\n' \
    "$work/bootstrap.bin" "$work/logo.bin" "$work/software.bin" "$work/programme.bin" \
    > "$work/Vandrelux.ini"

# The box powers on when the window's handshake reaches it, paced like a 115200-baud line.
"$bin/boxsim/vandrelux-boxsim" --baud 115200 --timeout 600 --chatter $'STB loader 1.0\r\n' \
    --report "$work/box-report.json" accept --out "$work/box" --expect 3 \
    > "$work/box.out" 2> "$work/box.err" &
box=$!
trap 'kill $box 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
    device=$(head -n 1 "$work/box.out" 2>/dev/null || true)
    [ -n "$device" ] && break
    sleep 0.05
done
echo "Simulated box on $device; files in $work"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    "$bin/app/vandrelux" --com1 "$device" --settings "$work/Vandrelux.ini"
else
    echo "No display: running the window offscreen."
    QT_QPA_PLATFORM=offscreen "$bin/app/vandrelux" --com1 "$device" \
        --settings "$work/Vandrelux.ini" --exit-when-done --screenshot "$work/window.png"
    echo "Screenshot: $work/window.png"
fi
# The box lets its last words drain before it ends.
for _ in $(seq 1 50); do
    kill -0 $box 2>/dev/null || break
    sleep 0.1
done
if kill -0 $box 2>/dev/null; then
    kill $box 2>/dev/null || true
    echo "The window closed before the box had all three files."
elif wait $box; then
    echo "The box stored all three files in $work/box (report: box-report.json)."
else
    echo "The box reports a problem: see $work/box-report.json"
fi
