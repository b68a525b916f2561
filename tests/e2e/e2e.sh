#!/usr/bin/env bash
# End-to-end cases: vandrelux-cli against vandrelux-boxsim over a pseudo-terminal.
# Usage: e2e.sh CASE   (BOXSIM and CLI name the two programs)
set -euo pipefail

: "${BOXSIM:?}" "${CLI:?}"
work=$(mktemp -d)
box_pid=""
cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Starts the box with the given arguments; sets DEV to its line.
start_box() {
    "$BOXSIM" --report report.json "$@" > box.out 2> box.err &
    box_pid=$!
    for _ in $(seq 1 100); do
        DEV=$(head -n 1 box.out 2>/dev/null || true)
        [ -n "$DEV" ] && return 0
        sleep 0.05
    done
    cat box.err >&2
    fail "the box printed no device"
}

# Waits for the box to end and checks its exit status.
expect_box() {
    local status=0
    wait "$box_pid" || status=$?
    box_pid=""
    expect_status "$status" "$1" "box"
}

# Runs the CLI on the box's line and checks its exit status.
expect_cli() {
    local want=$1 status=0
    shift
    timeout 60 "$CLI" --port "$DEV" "$@" > cli.out 2> cli.err || status=$?
    expect_status "$status" "$want" "cli"
}

# A file as the box must store it: padded to an even length with one zero byte.
padded() {
    cp "$1" "$2"
    if [ $(( $(stat -c %s "$1") % 2 )) -eq 1 ]; then printf '\0' >> "$2"; fi
}

random_file() { head -c "$2" /dev/urandom > "$1"; }

expect_status() {
    [ "$1" = "$2" ] || { cat cli.err >&2; cat box.err >&2 || true; fail "$3: status $1, expected $2"; }
}

check_stored() {
    padded "$1" expected.bin
    cmp -s expected.bin "out/$2" || fail "out/$2 differs from $1"
}

case_download_all_kinds() {
    random_file boot.bin 4097; random_file ucode.bin 4096; random_file logo.bin 1
    : > tv.bin; random_file sw.bin 100001
    start_box --timeout 60 accept --out out --expect 5 "$@"
    expect_cli 0 --bootstrap boot.bin --ucode ucode.bin --logo logo.bin \
        --tvprogram tv.bin --software sw.bin
    expect_box 0
    check_stored boot.bin bootstrap.bin; check_stored ucode.bin ucode.bin
    check_stored logo.bin logo.bin; check_stored tv.bin tvprogram.bin
    check_stored sw.bin software.bin
    grep -q "Send sw.bin complete!" cli.out || fail "no completion line"
}

case_download_with_faults() {
    case_download_all_kinds --nak-share 0.2 --nak-first-verdict
}

case_download_to_ram() {
    random_file sw.bin 9999
    start_box --timeout 60 accept --out out
    expect_cli 0 --software sw.bin --ram
    expect_box 0
    check_stored sw.bin software.bin
    grep -q '"mode": 16' report.json || fail "RAM mode not in the header"
    grep -q '"address": 268447744' report.json || fail "RAM address not in the header"
}

case_receive_1mib() {
    random_file image.bin 1048576
    start_box --timeout 60 send --image image.bin "$@"
    expect_cli 0 --receive target.bin
    expect_box 0
    dd if=image.bin conv=swab status=none | cmp -s - target.bin || fail "target is not the swapped image"
    cmp -s image.bin rv.bin || fail "rv.bin is not the image"
    grep -q "Complete receiving SUCCESS!" cli.out || fail "no success line"
}

case_receive_with_faults() {
    random_file image.bin 300001
    start_box --timeout 60 --chatter "dump v2" send --image image.bin --block 1000 \
        --mark-per-block --corrupt-share 0.2
    expect_cli 0 --receive target.bin
    expect_box 0
    dd if=image.bin conv=swab status=none | cmp -s - target.bin || fail "target is not the swapped image"
    grep -q '"corrupted": [1-9]' report.json || fail "no block was corrupted"
}

case_chatter_before_ready() {
    random_file boot.bin 10
    start_box --timeout 60 --chatter "loader 1.0" accept --out out
    expect_cli 0 --bootstrap boot.bin
    expect_box 0
    check_stored boot.bin bootstrap.bin
    grep -q "loader 1.0" cli.err || fail "the box's text did not reach the terminal log"
}

case_silent_box_times_out() {
    random_file sw.bin 50000
    start_box --timeout 30 --silent-after 3 accept --out out
    expect_cli 5 --software sw.bin --timeout 2
    grep -q "no answer from the box" cli.err || fail "no time-out reason"
}

case_box_hangs_up() {
    random_file sw.bin 50000
    start_box --timeout 30 --hang-up-after 3 accept --out out
    expect_cli 6 --software sw.bin
    grep -q "line to the box was lost" cli.err || fail "no line-lost reason"
    [ "$(grep -c 'Application Error' cli.err)" -eq 1 ] || fail "expected exactly one error report"
}

case_port_not_openable() {
    DEV=/dev/vandrelux-absent
    random_file sw.bin 10
    expect_cli 3 --software sw.bin
    grep -q "cannot open /dev/vandrelux-absent" cli.err || fail "no reason given"
}

case_refused_before_waiting() {
    DEV=/dev/null  # never reached: each of these is refused first
    random_file sw.bin 10
    expect_cli 4 --software missing.bin
    expect_cli 4 --software .
    expect_cli 4 --receive rv.bin
    expect_cli 4 --receive no-such-folder/out.bin
    expect_cli 2 --software sw.bin --receive out.bin
    expect_cli 2 --software sw.bin --baud 0
    expect_cli 2 --software sw.bin --timeout 0
    expect_cli 2 --bogus
    expect_cli 0 --help
}

case_box_last_words_reach_the_terminal() {
    random_file sw.bin 3000
    start_box --timeout 60 --baud 115200 accept --out out
    expect_cli 0 --software sw.bin
    expect_box 0
    grep -q "image 00001000 stored, 3000 bytes" cli.err || fail "the box's status line was cut off"
}

# The window, offscreen and unattended, on the box's line with the settings in ./window.ini.
expect_window() {
    local want=$1 status=0
    shift
    QT_QPA_PLATFORM=offscreen timeout 60 "$WINDOW" --com1 "$DEV" --settings window.ini \
        --exit-when-done "$@" > window.out 2> window.err || status=$?
    [ "$status" = "$want" ] || { cat window.err >&2; fail "window: status $status, expected $want"; }
}

case_window_download_two_kinds() {
    random_file boot.bin 5000; random_file logo.bin 4097
    printf '[Setting]\r\nUpdateBootStrap=1\r\nBootStrapPath=%s\r\nUpdateLogo=1\r\nLogoPath=%s\r\n' \
        "$PWD/boot.bin" "$PWD/logo.bin" > window.ini
    start_box --timeout 60 accept --out out --expect 2
    expect_window 0 --screenshot shot.png
    expect_box 0
    check_stored boot.bin bootstrap.bin; check_stored logo.bin logo.bin
    diff <(printf 'COM1:115200 8-N-1\nStart Sending %s  files!\nSend %s complete!\nStart Sending %s  files\nSend %s complete!\n' \
        "$PWD/boot.bin" "$PWD/boot.bin" "$PWD/logo.bin" "$PWD/logo.bin") window.out \
        || fail "message log differs"
    [ -s shot.png ] || fail "no screenshot"
    grep -q "UpdateLogo=1" window.ini || fail "settings not saved on the way out"
}

case_window_receive() {
    random_file image.bin 100001
    printf '[Setting]\r\nDownloadFlashLoader=1\r\nFlashloaderPath=%s\r\n' "$PWD/target.bin" > window.ini
    start_box --timeout 60 send --image image.bin --block 1024
    expect_window 0 --to-receive
    expect_box 0
    dd if=image.bin conv=swab status=none | cmp -s - target.bin || fail "target is not the swapped image"
    grep -q "Complete receiving SUCCESS!" window.out || fail "no success line"
}

case_window_failures_end_unattended_runs() {
    printf '[Setting]\r\nUpdateSoftware=1\r\nSoftwarePath=%s\r\n' "$PWD/missing.bin" > window.ini
    DEV=/dev/vandrelux-absent
    expect_window 1
    grep -q "Can't init COM1" window.err || fail "no word about the port"

    start_box --timeout 60 accept --out out
    expect_window 1
    grep -q "Can not open file" window.err || fail "no word about the file"
    kill "$box_pid"; box_pid=""

    random_file sw.bin 50000
    printf '[Setting]\r\nUpdateSoftware=1\r\nSoftwarePath=%s\r\n' "$PWD/sw.bin" > window.ini
    start_box --timeout 60 --hang-up-after 3 accept --out out
    expect_window 1
    grep -q "Application Error" window.err || fail "no word about the line"
}

"case_$1"
echo "PASS: $1"
