#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window on two simulated boxes: COM1 takes the
# three generated update files that the settings tick, COM2 sends its programme code. With no
# display the window runs offscreen, once per direction, saving a screenshot and printing the
# message log each time.
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
head -c 100001 /dev/urandom > "$work/box-programme.bin"
settings() {  # receive-choice-flag
    printf '[Setting]\r\nDownloadFlashLoader=%s\r\nFlashloaderPath=%s\r\n' "$1" "$work/programme.bin"
    printf 'UpdateBootStrap=1\r\nBootStrapPath=%s\r\nUpdateLogo=1\r\nLogoPath=%s\r\n' \
        "$work/bootstrap.bin" "$work/logo.bin"
    printf 'UpdateSoftware=1\r\nSoftwarePath=%s\r\nPortNum=1\r\n' "$work/software.bin"
}
settings 0 > "$work/Vandrelux.ini"

boxes=()
trap 'kill "${boxes[@]}" 2>/dev/null || true' EXIT
# Starts a box paced like a 115200-baud line; sets $device to its line.
start_box() {  # name, scenario arguments...
    local name=$1
    shift
    "$bin/boxsim/vandrelux-boxsim" --baud 115200 --timeout 900 --chatter $'STB loader 1.0\r\n' \
        --report "$work/$name-report.json" "$@" > "$work/$name.out" 2> "$work/$name.err" &
    boxes+=($!)
    device=""
    for _ in $(seq 1 100); do
        device=$(head -n 1 "$work/$name.out" 2>/dev/null || true)
        [ -n "$device" ] && return 0
        sleep 0.05
    done
    echo "The simulated box did not start: $(cat "$work/$name.err")" >&2
    exit 1
}
start_box accept-box accept --out "$work/box" --expect 3
com1=$device
start_box send-box send --image "$work/box-programme.bin" --block 1024
com2=$device
echo "Simulated boxes: COM1 = $com1 (takes updates), COM2 = $com2 (sends its code)"
echo "Files in $work"

window="$bin/app/vandrelux --com1 $com1 --com2 $com2 --settings $work/Vandrelux.ini"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "The download to COM1 starts by itself. For the other direction: Config, choose COM2,"
    echo "OK, Open; tick \"Receive ALL Programme code\" and press \"to receive\"."
    $window
    exit 0
fi

echo "No display: running the window offscreen."
echo "== Download to COM1"
QT_QPA_PLATFORM=offscreen $window --exit-when-done --screenshot "$work/window-download.png" \
    2> "$work/window.err"
settings 1 | sed 's/PortNum=1/PortNum=2/' > "$work/Vandrelux.ini"
echo "== Receive from COM2"
QT_QPA_PLATFORM=offscreen $window --exit-when-done --to-receive \
    --screenshot "$work/window-receive.png" 2>> "$work/window.err"

status=0
for pid in "${boxes[@]}"; do
    # A box lets its last words drain before it ends.
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    wait "$pid" || status=1
done
if [ $status -eq 0 ] && dd if="$work/box-programme.bin" conv=swab status=none | cmp -s - "$work/programme.bin"; then
    echo "Both boxes are content: the three files are in $work/box, and programme.bin is the"
    echo "box's code with its 16-bit words swapped. Screenshots: $work/window-*.png"
else
    echo "Something went wrong: see $work/*-report.json and $work/window.err"
    exit 1
fi
