#!/usr/bin/env bash
# End-to-end cases: vandrelux-cli against vandrelux-boxsim over a pseudo-terminal.
# Usage: e2e.sh CASE   (BOXSIM and CLI name the two programs)
# Sourced, it gives the caller its helpers, a work folder and the clean-up.
set -euo pipefail

: "${BOXSIM:?}" "${CLI:?}"
work=$(mktemp -d)
box_pid=""
more_boxes=()
helpers=()  # ser2net and the test's own network peers
cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
    for pid in "${more_boxes[@]}" "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${helpers[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
here=$(cd "$(dirname "$0")" && pwd)
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Starts a box with its report in REPORT and its output in STEM.out and STEM.err, then the
# given arguments; sets DEV to its line and launched to its process.
launch_box() {
    local report=$1 stem=$2
    shift 2
    "$BOXSIM" --report "$report" "$@" > "$stem.out" 2> "$stem.err" &
    launched=$!
    for _ in $(seq 1 100); do
        DEV=$(head -n 1 "$stem.out" 2>/dev/null || true)
        [ -n "$DEV" ] && return 0
        sleep 0.05
    done
    cat "$stem.err" >&2
    fail "box $stem printed no device"
}

# Starts the box with the given arguments; sets DEV to its line.
start_box() {
    launch_box report.json box "$@"
    box_pid=$launched
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
    [ "$1" = "$2" ] || {
        cat cli.err box.err station.err >&2 2> /dev/null || true
        fail "$3: status $1, expected $2"
    }
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

case_signal_abandons_an_ordinary_run() {
    random_file sw.bin 200000
    start_box --timeout 60 --baud 115200 accept --out out
    # Not under timeout(1), which passes a signal on twice: the second would end the run at once.
    "$CLI" --port "$DEV" --software sw.bin --report run.json > cli.out 2> cli.err &
    local cli_pid=$! status=0
    helpers+=("$cli_pid")
    for _ in $(seq 1 100); do grep -q "sw.bin  [1-9]" cli.err && break; sleep 0.05; done
    kill -INT "$cli_pid"
    timeout 30 tail --pid="$cli_pid" -f /dev/null || fail "the run did not end"
    wait "$cli_pid" || status=$?
    expect_status "$status" 7 "cli"
    grep -Eq "^$DEV +abandoned .*stopped by a signal" cli.err || fail "summary: $(cat cli.err)"
    python3 - <<'PY' || fail "report: $(cat run.json)"
import json
report = json.load(open("run.json"))
port = report["ports"][0]
assert report["status"] == 7 and port["outcome"] == "abandoned", report
image = port["images"][0]
assert 0 < image["done"] < 200000 and image["seconds"] > 0 and not image["accepted"], image
PY
}

case_empty_update_file_is_sent_with_a_warning() {
    : > empty.bin
    start_box --timeout 60 accept --out out
    expect_cli 0 --logo empty.bin --report run.json
    expect_box 0
    grep -q "^vandrelux-cli: empty.bin is empty: the box gets an image of no bytes$" cli.err \
        || fail "no warning: $(cat cli.err)"
    python3 - "$PWD" "$(hostname)" <<'PY' || fail "report: $(cat run.json)"
import json, sys
report = json.load(open("run.json"))
assert report["host"] == sys.argv[2] and report["version"] and report["start"] <= report["end"]
image = report["ports"][0]["images"][0]
assert image["empty"] and image["file_size"] == 0 and image["modified"].endswith("Z"), image
assert image["path"] == sys.argv[1] + "/empty.bin", image
PY
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
    # One line says which port, what failed and why; the summary repeats it.
    [ "$(grep -c "^vandrelux-cli: $DEV: line lost: read failed: Input/output error$" cli.err)" -eq 1 ] \
        || fail "expected exactly one error report: $(cat cli.err)"
    ! grep -q "Application Error" cli.err || fail "the window's error box in the CLI"
}

case_speed_the_device_refuses() {
    random_file sw.bin 10
    start_box --timeout 60 accept --out out
    expect_cli 3 --software sw.bin --baud 1234
    grep -q "^vandrelux-cli: $DEV: 1234 baud is not a speed this device takes$" cli.err \
        || fail "$(cat cli.err)"
}

case_port_not_openable() {
    DEV=/dev/vandrelux-absent
    random_file sw.bin 10
    expect_cli 3 --software sw.bin
    grep -q "cannot open /dev/vandrelux-absent" cli.err || fail "no reason given"
    grep -q "problem: /dev/vandrelux-absent does not exist" cli.err || fail "no check printed"
    expect_cli 3 --software sw.bin --json
    grep -q '"event":"check".*does not exist' cli.out || fail "no check event"
}

case_refused_before_waiting() {
    DEV=/dev/null  # never reached: each of these is refused first
    random_file sw.bin 10
    expect_cli 4 --software missing.bin
    grep -q "^vandrelux-cli: cannot read missing.bin: no such file$" cli.err || fail "$(cat cli.err)"
    expect_cli 4 --software .
    grep -q "^vandrelux-cli: cannot read .: it is a folder$" cli.err || fail "$(cat cli.err)"
    expect_cli 4 --receive rv.bin
    expect_cli 4 --receive ./rv.bin
    mkdir sub
    expect_cli 4 --receive "$PWD/sub/../rv.bin"
    grep -q "the target cannot be rv.bin" cli.err || fail "no reason for rv.bin by another name"
    expect_cli 4 --receive no-such-folder/out.bin
    expect_cli 2 --software sw.bin --receive out.bin
    expect_cli 2 --software sw.bin --baud 0
    expect_cli 2 --software sw.bin --timeout 0
    expect_cli 4 --software sw.bin --report no-such-folder/run.json
    expect_cli 2 --software sw.bin --retries -1
    expect_cli 2 --receive out.bin --port /dev/zero
    expect_cli 2 --software sw.bin --port "$DEV"
    ln -s /dev/null null-link
    expect_cli 2 --software sw.bin --port null-link
    expect_cli_ports 2 --software sw.bin
    expect_cli 2 --bogus
    expect_cli 0 --help
    # Padded to an even length, this no longer fits the image's 32-bit length.
    truncate -s 2147483647 big.bin
    expect_cli 4 --software big.bin
    grep -q "cannot send big.bin: an image must be smaller than 2 GiB" cli.err || fail "no size reason"
    # Where neither the target nor rv.bin can be resolved, the target is not taken for rv.bin.
    mkdir gone
    local status=0
    (cd gone && rmdir ../gone && timeout 60 "$CLI" --port "$DEV" --receive out.bin --timeout 1) \
        > cli.out 2> cli.err || status=$?
    [ "$status" != 0 ] || fail "a receive in a removed folder succeeded"
    ! grep -q "rv.bin" cli.err || fail "out.bin taken for rv.bin: $(cat cli.err)"
}

case_box_last_words_reach_the_terminal() {
    random_file sw.bin 3000
    start_box --timeout 60 --baud 115200 accept --out out
    expect_cli 0 --software sw.bin
    expect_box 0
    grep -q "image 00001000 stored, 3000 bytes" cli.err || fail "the box's status line was cut off"
}

# Starts one more box, NAME, with its own report NAME.json; sets DEV to its line.
start_named_box() {
    local name=$1
    shift
    launch_box "$name.json" "$name" "$@"
    more_boxes+=("$launched")
}

# Runs the CLI with the given arguments only (no --port added) and checks its exit status.
expect_cli_ports() {
    local want=$1 status=0
    shift
    timeout 60 "$CLI" "$@" > cli.out 2> cli.err || status=$?
    expect_status "$status" "$want" "cli"
}

case_two_ports_one_box_fails() {
    random_file boot.bin 5000; random_file sw.bin 30001
    start_named_box good --timeout 60 accept --out good-out --expect 2
    local good=$DEV
    start_named_box refusing --timeout 60 accept --out bad-out --nak-first-verdict
    local bad=$DEV
    expect_cli_ports 1 --port "$good" --port "$bad" --bootstrap boot.bin --software sw.bin \
        --retries 0
    padded boot.bin expected.bin; cmp -s expected.bin good-out/bootstrap.bin || fail "bootstrap not stored"
    padded sw.bin expected.bin; cmp -s expected.bin good-out/software.bin || fail "software not stored"
    grep -Eq "^$good +ok +2 " cli.err || fail "the summary does not say the first box is done"
    grep -Eq "^$bad +box-failure .*refused boot.bin 1 time" cli.err \
        || fail "the summary does not say which box failed and why"
    grep -q "^\[$good\] Send sw.bin complete!" cli.out || fail "the message log lacks its port"
    # The good box closes its line after its last answer: that is no error.
    ! grep -q "Application Error" cli.err || fail "a line closed after the last answer reported"
    # The same refusal is tolerated once with one retry.
    start_named_box refusing2 --timeout 60 accept --out out2 --nak-first-verdict --expect 1
    expect_cli_ports 0 --port "$DEV" --software sw.bin --retries 1
    grep -Eq "^$DEV +ok +1 +30002 +0 +1 " cli.err || fail "no resend counted"
}

# Every line of cli.out is a JSON object with an event and the port.
check_json_lines() {
    python3 - "$@" <<'PY' || fail "bad event stream"
import json, sys
want = set(sys.argv[2:])
seen = set()
for n, line in enumerate(open("cli.out"), 1):
    e = json.loads(line)
    assert isinstance(e, dict) and "event" in e and "port" in e, f"line {n}: {line}"
    if e["event"] != "run_complete":
        assert e["port"] == sys.argv[1], f"line {n}: port {e['port']}"
    seen.add(e["event"])
missing = want - seen
assert not missing, f"missing events: {missing}"
assert e["event"] == "run_complete" and e["status"] == 0, "the last event is not the run's end"
PY
}

case_json_event_stream() {
    random_file boot.bin 9000; random_file sw.bin 20000
    start_box --timeout 60 --chatter "loader 2.1" accept --out out --expect 2 --nak-share 0.2 \
        --nak-first-verdict --seed 7
    expect_cli 0 --json --bootstrap boot.bin --software sw.bin
    expect_box 0
    check_json_lines "$DEV" port_opened file_started frame_acknowledged frame_refused progress \
        verdict file_complete summary log box_text
    grep -q '"accepted":false' cli.out || fail "no refused verdict"
    grep -q "loader 2.1" cli.err || fail "the box's text left standard error"
}

case_run_report() {
    random_file boot.bin 9000; random_file sw.bin 20001
    start_box --timeout 60 accept --out out --expect 2 --nak-share 0.2 --nak-first-verdict --seed 3
    expect_cli 0 --report run.json --bootstrap boot.bin --software sw.bin
    expect_box 0
    python3 - "$DEV" <<'PY' || fail "report content"
import json, sys
r = json.load(open("run.json"))
assert r["status"] == 0 and len(r["ports"]) == 1
p = r["ports"][0]
assert p["port"] == sys.argv[1] and p["outcome"] == "ok" and p["seconds"] > 0
box = json.load(open("report.json"))
kinds = [i["kind"] for i in p["images"]]
assert kinds == ["bootstrap", "software"], kinds
for image, name in zip(p["images"], ["boot.bin", "sw.bin"]):
    data = open(name, "rb").read()
    data += b"\0" * (len(data) % 2)
    assert image["size"] == len(data), image
    assert image["checksum"] == "%08x" % (sum(data) & 0xFFFFFFFF), image
    assert image["accepted"] and image["seconds"] > 0 and image["bytes_per_second"] > 0
assert p["images"][0]["resends"] == 1, "the refused first verdict is one resend"
assert p["naks"] == sum(i["naks"] for i in p["images"]) and p["naks"] > 0
assert p["bytes_per_second"] > 0
PY
}

case_receive_events_and_report() {
    random_file image.bin 300001
    start_box --timeout 60 send --image image.bin --block 1000 --mark-per-block --corrupt-share 0.2 \
        --seed 5
    expect_cli 0 --receive target.bin --json --report run.json
    expect_box 0
    check_json_lines "$DEV" port_opened file_started frame_acknowledged frame_refused progress \
        verdict file_complete summary
    python3 - <<'PY' || fail "receive report"
import json, os
image = json.load(open("run.json"))["ports"][0]["images"]
assert len(image) == 1, image
image = image[0]
data = open("image.bin", "rb").read()
assert image["kind"] == "programme" and image["accepted"], image
assert image["path"] == os.path.join(os.getcwd(), "target.bin"), image
assert image["size"] == len(data), image
assert image["checksum"] == "%08x" % (sum(data) & 0xFFFFFFFF), image
assert image["naks"] > 0, "the corrupted blocks were refused"
PY
}

# A USB adapter with serial number SERIAL as ttyUSB0 in a sysfs tree of our own, and its device.
fake_adapter() {
    local usb=sys/devices/pci0000:00/usb1/1-2
    mkdir -p sys/class/tty "$usb/1-2:1.0/ttyUSB0" sys/bus/usb-serial/drivers/ftdi_sio \
        sys/bus/usb-serial/devices/ttyUSB0 dev
    printf '0403\n' > "$usb/idVendor"; printf '6001\n' > "$usb/idProduct"
    printf '%s\n' "$1" > "$usb/serial"
    ln -s "$PWD/sys/bus/usb-serial/drivers/ftdi_sio" "$usb/1-2:1.0/ttyUSB0/driver"
    mkdir -p "sys/class/tty/ttyUSB0"
    ln -s "$PWD/$usb/1-2:1.0/ttyUSB0" sys/class/tty/ttyUSB0/device
    printf '16\n' > sys/bus/usb-serial/devices/ttyUSB0/latency_timer
    : > dev/ttyUSB0
}

case_list_ports_and_doctor() {
    fake_adapter A50285BI
    expect_cli_ports 0 --list-ports --sys-root sys --dev-root dev
    grep -Eq "dev/ttyUSB0 +ftdi_sio +0403:6001 +A50285BI +COM1" cli.out || fail "list: $(cat cli.out)"
    expect_cli_ports 0 --list-ports --json --sys-root sys --dev-root dev --com2 dev/ttyUSB0
    python3 -c 'import json; p = json.loads(open("cli.out").read()); assert p["com"] == [1, 2], p' \
        || fail "list as JSON: $(cat cli.out)"
    expect_cli_ports 3 --doctor --port dev/ttyUSB0 --sys-root sys --proc-root /nonexistent
    grep -q "latency timer is 16 ms" cli.out || fail "doctor: no word on the latency timer"
    grep -q "echo 1 > sys/bus/usb-serial/devices/ttyUSB0/latency_timer" cli.out || fail "no fix"

    # The box holds both ends of its pseudo-terminal: its other end, no rival for the line.
    start_box --timeout 60 accept --out out
    expect_cli_ports 0 --doctor --port "$DEV"
    grep -q "ok: no other process has $DEV open; its other end: .*process $box_pid" cli.out \
        || fail "doctor: the box's hold on its line: $(cat cli.out)"
}

# Every line of cli.out is JSON, and no escape character reached it.
check_json_output() {
    python3 -c '
import json, sys
lines = open("cli.out", "rb").read().splitlines()
assert lines, "no output"
for line in lines:
    json.loads(line.decode("utf-8"))' || fail "not JSON lines: $(cat -v cli.out)"
}

case_text_not_utf8_nor_printable() {
    fake_adapter $'\xff\x1b[2J'
    expect_cli_ports 0 --list-ports --json --sys-root sys --dev-root dev
    check_json_output
    grep -q $'\xef\xbf\xbd' cli.out || fail "the serial number is not shown replaced"
    expect_cli_ports 0 --list-ports --sys-root sys --dev-root dev
    ! grep -q $'\x1b' cli.out || fail "an escape sequence reached the port table"

    # A process whose name is not UTF-8 and holds an escape sequence holds the adapter.
    mkdir -p proc/4242/fd
    ln -s "$PWD/dev/ttyUSB0" proc/4242/fd/3
    printf '\xff\x1b[2J\n' > proc/4242/comm
    expect_cli_ports 3 --doctor --json --port dev/ttyUSB0 --sys-root sys --proc-root proc
    check_json_output
    python3 -c '
import json
whats = [json.loads(line)["what"] for line in open("cli.out", encoding="utf-8")]
assert any("held by \ufffd\x1b[2J process 4242" in w for w in whats), whats' \
        || fail "holder: $(cat -v cli.out)"
    expect_cli_ports 3 --doctor --port dev/ttyUSB0 --sys-root sys --proc-root proc
    ! grep -q $'\x1b' cli.out || fail "an escape sequence reached the doctor's text"
    grep -q "?\[2J process 4242" cli.out || fail "holder in text: $(cat -v cli.out)"
    expect_cli_ports 3 --doctor --json --port $'/dev/tty\xff'
    check_json_output
    mkdir empty
    expect_cli_ports 3 --doctor --json --sys-root empty
    check_json_output
    grep -q '"event":"error".*no serial devices found' cli.out || fail "no error event"

    # A run with names that are not UTF-8 still ends with its report.
    DEV=$'/dev/vandrelux-absent\xff'
    random_file $'t\xe9.bin' 10
    expect_cli 3 --software $'t\xe9.bin' --report run.json --json
    check_json_output
    python3 -c '
import json
r = json.load(open("run.json", encoding="utf-8"))
assert r["status"] == 3 and r["ports"][0]["port"] == "/dev/vandrelux-absent\ufffd", r' \
        || fail "report: $(cat -v run.json)"
}

case_help_options_documented() {
    "$CLI" --help > help.txt
    local options
    options=$(grep -oE -- '--[a-z][a-z0-9-]+' help.txt | sort -u)
    [ -n "$options" ] || fail "no options in --help"
    for option in $options; do
        grep -qF -- "${option//-/\\-}" "$here/../../docs/vandrelux-cli.1" \
            || fail "$option is not in the man page"
        grep -qw -- "$option" "$here/../../data/vandrelux-cli.bash-completion" \
            || fail "$option is not in the bash completion"
    done
}

# The window, offscreen and unattended, on the box's line with the settings in ./window.ini.
expect_window() {
    local want=$1 status=0
    shift
    QT_QPA_PLATFORM=offscreen timeout 150 "$WINDOW" --com1 "$DEV" --settings window.ini \
        --exit-when-done "$@" > window.out.raw 2> window.err || status=$?
    # The Windows build writes its lines with CR LF.
    tr -d '\r' < window.out.raw > window.out
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

    if [ -n "${WINE_BUILD_DIR:-}" ]; then
        # Wine's comm-event wait never reports a pseudo-terminal whose other end has closed.
        echo "skipped under Wine: a box that hangs up"
        return
    fi
    random_file sw.bin 50000
    printf '[Setting]\r\nUpdateSoftware=1\r\nSoftwarePath=%s\r\n' "$PWD/sw.bin" > window.ini
    start_box --timeout 60 --hang-up-after 3 accept --out out
    expect_window 1
    grep -q "Application Error" window.err || fail "no word about the line"
}

# ---- Remote ports: ser2net in front of the box's line ----

# A TCP port on 127.0.0.1 that nothing listens on (at the moment of asking).
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until something listens on 127.0.0.1:PORT, without connecting (a connection would make
# ser2net open the box's line).
await_listening() {
    local hex
    hex=$(printf '%04X' "$1")
    for _ in $(seq 1 100); do
        grep -q "^ *[0-9]*: 0100007F:$hex 00000000:0000 0A" /proc/net/tcp && return 0
        sleep 0.05
    done
    cat ser2net.log >&2 || true
    fail "nothing listens on port $1"
}

# Starts ser2net on 127.0.0.1 in front of the box's line DEV, with one RFC 2217 and one raw TCP
# accepter (or with TELNET=plain, Telnet without COM-port control for the first); sets RFC2217
# and RAW to their URLs.
start_ser2net() {
    command -v ser2net > /dev/null || fail "ser2net is not installed (scripts/install-deps.sh)"
    local rfc raw telnet="telnet(rfc2217)"
    rfc=$(free_port); raw=$(free_port)
    [ "${TELNET:-}" = plain ] && telnet=telnet
    cat > ser2net.yaml <<YAML
%YAML 1.1
---
connection: &box-rfc2217
  accepter: $telnet,tcp,127.0.0.1,$rfc
  connector: serialdev,$DEV,115200n81,local
connection: &box-raw
  accepter: tcp,127.0.0.1,$raw
  connector: serialdev,$DEV,115200n81,local
YAML
    ser2net -n -d -P "$work/ser2net.pid" -c ser2net.yaml > ser2net.log 2>&1 &
    ser2net_pid=$!
    helpers+=("$ser2net_pid")
    await_listening "$rfc"; await_listening "$raw"
    RFC2217="rfc2217://127.0.0.1:$rfc"
    RAW="tcp://127.0.0.1:$raw"
}

# The box's image with a byte of 0xFF in every other place, and the rest random.
rich_in_ff() {
    python3 -c 'import os, sys; n = int(sys.argv[2]); r = os.urandom(n)
open(sys.argv[1], "wb").write(bytes(0xFF if i % 2 == 0 else r[i] for i in range(n)))' "$1" "$2"
}

# A download of several kinds through ser2net's ACCEPTER ("rfc2217" or "raw"): an image made
# entirely of 0xFF, one of random bytes, and one rich in 0xFF, with refused frames and a
# refused whole image on the way.
remote_download() {
    head -c 12289 /dev/zero | tr '\0' '\377' > ff.bin; random_file sw.bin 50001
    rich_in_ff logo.bin 9000
    start_box --timeout 60 accept --out out --expect 3 --nak-share 0.2 --nak-first-verdict --seed 11
    start_ser2net
    local url=$RFC2217
    [ "$1" = raw ] && url=$RAW
    DEV=$url expect_cli 0 --bootstrap ff.bin --logo logo.bin --software sw.bin
    expect_box 0
    check_stored ff.bin bootstrap.bin; check_stored logo.bin logo.bin; check_stored sw.bin software.bin
    grep -q '"naks_sent": [1-9]' report.json || fail "no frame was refused"
    grep -q "Send sw.bin complete!" cli.out || fail "no completion line"
}

case_remote_download_rfc2217() { remote_download rfc2217; }
case_remote_download_raw() { remote_download raw; }

remote_receive() {
    rich_in_ff image.bin 200001
    start_box --timeout 60 send --image image.bin --block 4096 --corrupt-share 0.1 --seed 4
    start_ser2net
    local url=$RFC2217
    [ "$1" = raw ] && url=$RAW
    DEV=$url expect_cli 0 --receive target.bin
    expect_box 0
    dd if=image.bin conv=swab status=none | cmp -s - target.bin || fail "target is not the swapped image"
    cmp -s image.bin rv.bin || fail "rv.bin is not the image"
}

case_remote_receive_rfc2217() { remote_receive rfc2217; }
case_remote_receive_raw() { remote_receive raw; }

# Runs the CLI on DEV with the given arguments and checks its status and that it ended within
# SECONDS.
expect_cli_within() {
    local seconds=$1 want=$2 start end
    shift 2
    start=$(date +%s)
    expect_cli "$want" "$@"
    end=$(date +%s)
    [ $((end - start)) -le "$seconds" ] || fail "took $((end - start)) s, more than $seconds"
}

case_remote_faults() {
    random_file sw.bin 200000
    # Nothing listens.
    DEV="rfc2217://127.0.0.1:$(free_port)" expect_cli_within 20 3 --software sw.bin
    grep -q "connection refused by 127.0.0.1" cli.err || fail "refused: $(cat cli.err)"
    # A name that does not resolve.
    DEV="tcp://no-such-host.invalid:2000" expect_cli_within 20 3 --software sw.bin
    grep -q "cannot find no-such-host.invalid" cli.err || fail "unresolved: $(cat cli.err)"
    DEV="rfc2217://[::1]2000" expect_cli 2 --software sw.bin
    grep -q "not a network port" cli.err || fail "malformed: $(cat cli.err)"

    # A server whose queue of connections is full never answers.
    python3 -c '
import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(0)
print(s.getsockname()[1], flush=True)
fill = []
for _ in range(3):
    c = socket.socket(); c.setblocking(False); c.connect_ex(s.getsockname()); fill.append(c)
time.sleep(60)' > silent.port &
    helpers+=("$!")
    for _ in $(seq 1 100); do [ -s silent.port ] && break; sleep 0.05; done
    DEV="rfc2217://127.0.0.1:$(cat silent.port)" expect_cli_within 20 3 --software sw.bin \
        --connect-timeout 1
    grep -q "no answer from 127.0.0.1 port $(cat silent.port) within 1 s" cli.err \
        || fail "silent server: $(cat cli.err)"

    # A server busy with another client, on either accepter.
    start_box --timeout 60 accept --out out
    start_ser2net
    python3 -c '
import socket, sys, time
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print("connected", flush=True)
time.sleep(60)' "${RAW##*:}" > holder.out &
    helpers+=("$!")
    for _ in $(seq 1 100); do [ -s holder.out ] && break; sleep 0.05; done
    DEV=$RFC2217 expect_cli_within 20 3 --software sw.bin
    grep -q "busy with another client" cli.err || fail "busy: $(cat cli.err)"
    DEV=$RAW expect_cli_within 20 3 --software sw.bin
    grep -q "busy with another client (it said \"Port already in use\")" cli.err \
        || fail "busy raw: $(cat cli.err)"
}

# A server that takes no line settings: the port opens, the settings step fails as a local port's
# would, and the run ends there.
case_remote_settings_refused() {
    random_file sw.bin 1000
    start_box --timeout 60 accept --out out
    TELNET=plain start_ser2net
    DEV=$RFC2217 expect_cli_within 30 3 --software sw.bin
    grep -q "^vandrelux-cli: $RFC2217: cannot configure the line for 115200 8N1: .*did not agree to COM-port control" \
        cli.err || fail "no reason: $(cat cli.err)"
}

case_remote_server_dies_mid_image() {
    random_file sw.bin 200000
    start_box --timeout 60 --baud 115200 accept --out out
    start_ser2net
    timeout 60 "$CLI" --port "$RFC2217" --software sw.bin > cli.out 2> cli.err &
    local cli_pid=$! status=0
    # At 115200 baud the image takes 17 s; whenever the server dies, the line is lost.
    sleep 2
    kill "$ser2net_pid"
    wait "$cli_pid" || status=$?
    expect_status "$status" 6 "cli"
    grep -q "$RFC2217: line lost: read failed: the server closed the connection" cli.err \
        || fail "no line-lost reason with the server's word: $(cat cli.err)"
}

# A COM-port server of its own that holds our data back for a while: it agrees to every option,
# answers every setting, then sends FLOWCONTROL-SUSPEND once the beacon flows and RESUME 1.5 s
# later. What it saw goes to flow.json.
flow_server() {
    python3 - "$@" << 'PY'
import json, os, select, socket, sys, time
IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
COM = 44
server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.bind(("127.0.0.1", 0))
server.listen(1)
open("flow.port.tmp", "w").write(str(server.getsockname()[1]))
os.rename("flow.port.tmp", "flow.port")
server.settimeout(20)
conn, _ = server.accept()
def cpu_ticks():
    fields = open(f"/proc/{open('cli.pid').read().strip()}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])
data, state, sub = [], "data", []
def take(chunk):
    global state, sub
    for byte in chunk:
        if state == "data":
            if byte == IAC: state = "iac"
            else: data.append(time.monotonic())
        elif state == "iac":
            if byte == IAC: data.append(time.monotonic()); state = "data"
            elif byte in (WILL, DO): state = ("will", "do")[byte == DO]
            elif byte == SB: state, sub = "sb", []
            else: state = "data"
        elif state in ("will", "do"):
            conn.sendall(bytes([IAC, DO if state == "will" else WILL, byte])); state = "data"
        elif state == "sb":
            if byte == IAC: state = "sb-iac"
            else: sub.append(byte)
        elif state == "sb-iac":
            if byte == SE:
                if sub and sub[0] == COM and len(sub) > 1:
                    conn.sendall(bytes([IAC, SB, COM, sub[1] + 100] + sub[2:] + [IAC, SE]))
                state = "data"
            else: sub.append(byte); state = "sb"
def serve(seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if select.select([conn], [], [], 0.05)[0]:
            chunk = conn.recv(4096)
            if not chunk: return False
            take(chunk)
    return True
end = time.monotonic() + 10
while len(data) < 3 and time.monotonic() < end:
    if not serve(0.1):
        sys.exit("the CLI hung up")
conn.sendall(bytes([IAC, SB, COM, 108, IAC, SE]))
suspended = time.monotonic()
serve(0.3)
ticks = cpu_ticks()
serve(1.2)
ticks = cpu_ticks() - ticks
conn.sendall(bytes([IAC, SB, COM, 109, IAC, SE]))
resumed = time.monotonic()
serve(1.0)
json.dump({"before": len([t for t in data if t < suspended]),
           "held": len([t for t in data if suspended + 0.3 < t < resumed]),
           "after": len([t for t in data if t > resumed]),
           "cpu_ticks_held": ticks, "tick_hz": os.sysconf("SC_CLK_TCK")}, open("flow.json", "w"))
conn.close()
PY
}

case_remote_output_held_back() {
    random_file sw.bin 1000
    flow_server > flow.out 2> flow.err &
    local server=$! cli status=0
    helpers+=("$server")
    for _ in $(seq 1 100); do [ -e flow.port ] && break; sleep 0.05; done
    [ -e flow.port ] || fail "the server did not start: $(cat flow.err)"
    "$CLI" --port "rfc2217://127.0.0.1:$(cat flow.port)" --software sw.bin --timeout 20 \
        > cli.out 2> cli.err &
    cli=$!
    helpers+=("$cli")
    echo "$cli" > cli.pid
    wait "$server" || fail "the server: $(cat flow.err)"
    kill "$cli" 2> /dev/null || true
    wait "$cli" 2> /dev/null || true
    python3 - << 'PY' || fail "$(cat flow.json) $(cat cli.err)"
import json
f = json.load(open("flow.json"))
assert f["before"] >= 3 and f["after"] >= 3, "the beacon did not flow before and after"
assert f["held"] == 0, "data went out while the server held it back"
# Held back, the CLI waits for the server's word; it does not spin on a writable socket.
assert f["cpu_ticks_held"] < f["tick_hz"] * 1.2 * 0.25, "the CLI spun while held back"
PY
}

case_remote_list_ports_and_doctor() {
    mkdir empty
    expect_cli_ports 0 --list-ports --sys-root empty --dev-root empty --com2 rfc2217://Box-A:2000 \
        --port socket://[::1]:2001
    grep -Eq "^rfc2217://box-a:2000 +rfc2217 .* COM2 " cli.out || fail "list: $(cat cli.out)"
    grep -Eq "^tcp://\[::1\]:2001 +tcp " cli.out || fail "list: $(cat cli.out)"

    start_box --timeout 60 accept --out out
    start_ser2net
    expect_cli_ports 0 --doctor --port "$RFC2217"
    grep -q "ok: the server at 127.0.0.1 port ${RFC2217##*:} answers" cli.out || fail "doctor: $(cat cli.out)"
    grep -q "ok: RFC 2217 agreed: binary both ways, suppress-go-ahead both ways; it calls itself \"ser2net\"" \
        cli.out || fail "doctor: $(cat cli.out)"
    grep -q "ok: it takes 115200 8-N-1" cli.out || fail "doctor: $(cat cli.out)"
    grep -q "latency timers .* cannot be seen from here" cli.out || fail "doctor: $(cat cli.out)"
    # ser2net lets the device go a moment after the last client has left, later under load.
    for _ in $(seq 1 40); do
        timeout 60 "$CLI" --doctor --json --port "$RAW" > cli.out 2> cli.err && break
        sleep 0.05
    done
    grep -q '"ok":true.*raw TCP' cli.out || fail "doctor raw: $(cat cli.out)"
    kill "$ser2net_pid"; wait "$ser2net_pid" 2>/dev/null || true
    expect_cli_ports 3 --doctor --port "$RFC2217"
    grep -q "problem: cannot open $RFC2217: connection refused" cli.out || fail "doctor: $(cat cli.out)"
    grep -q "start the server on 127.0.0.1" cli.out || fail "doctor: no fix: $(cat cli.out)"
}

case_remote_window_download() {
    random_file boot.bin 5000; head -c 4097 /dev/zero | tr '\0' '\377' > logo.bin
    printf '[Setting]\r\nUpdateBootStrap=1\r\nBootStrapPath=%s\r\nUpdateLogo=1\r\nLogoPath=%s\r\n' \
        "$PWD/boot.bin" "$PWD/logo.bin" > window.ini
    start_box --timeout 60 accept --out out --expect 2
    start_ser2net
    DEV=$RFC2217 expect_window 0
    expect_box 0
    check_stored boot.bin bootstrap.bin; check_stored logo.bin logo.bin
    grep -q "Send $PWD/logo.bin complete!" window.out || fail "no completion line"
    ! grep -q "SetCommState()" window.err || fail "a settings box: $(cat window.err)"

    # A server that takes no settings gets the box that a local port refusing them gets, once:
    # start-up connects to a remote port once. An unattended run counts the box as a failure.
    kill "$ser2net_pid"; wait "$ser2net_pid" 2>/dev/null || true
    start_box --timeout 60 accept --out out2
    TELNET=plain start_ser2net
    DEV=$RFC2217 expect_window 1
    [ "$(grep -c "SetCommState() Failed with the following error" window.err)" = 1 ] \
        || fail "not one settings box: $(cat window.err)"
    grep -q "did not agree to COM-port control" window.err || fail "no reason: $(cat window.err)"
}

# A line that boxes come and go on: two pseudo-terminals joined by socat, NAME-host for the
# station and NAME-box for the boxes, one after another. A descriptor the test keeps open on
# the box side keeps the pair up between boxes, and writes the chatter of a box kept on the line.
start_pair() {
    local name=$1
    socat "pty,link=$PWD/$name-host,raw,echo=0" "pty,link=$PWD/$name-box,raw,echo=0" 2> /dev/null &
    helpers+=("$!")
    for _ in $(seq 1 100); do
        [ -e "$name-host" ] && [ -e "$name-box" ] && break
        sleep 0.05
    done
    [ -e "$name-box" ] || fail "no pair $name"
}

# Runs one box on the pair NAME until it ends; its status in box_status.
run_box_on() {
    local name=$1
    shift
    box_status=0
    "$BOXSIM" --device "$PWD/$name-box" --report "$name.json" "$@" > "$name.out" 2> "$name.err" \
        || box_status=$?
}

# Starts the station with the given arguments; sets station_pid.
start_station() {
    "$CLI" --station "$@" > station.out 2> station.err &
    station_pid=$!
    helpers+=("$station_pid")
}

# Sends SIGINT to the station and checks that it ends with status 0.
stop_station() {
    local status=0
    kill -INT "$station_pid"
    timeout 30 tail --pid="$station_pid" -f /dev/null || fail "the station did not end"
    wait "$station_pid" || status=$?
    expect_status "$status" 0 "station"
}

# Counts the units of SLOT with OUTCOME in units.jsonl.
units() {
    grep -c "\"outcome\":\"$2\".*\"slot\":\"$PWD/$1-host\"" units.jsonl || true
}

# Waits until units.jsonl holds N units.
await_units() {
    for _ in $(seq 1 200); do
        [ "$(grep -c . units.jsonl 2> /dev/null || echo 0)" -ge "$1" ] && return 0
        sleep 0.1
    done
    fail "units log: $(cat units.jsonl 2> /dev/null) $(cat station.err)"
}

case_station_three_slots() {
    random_file sw.bin 30000
    local a b c
    start_pair a; start_pair b; start_pair c
    exec {a}<>a-box {b}<>b-box {c}<>c-box
    start_station --port "$PWD/a-host" --port "$PWD/b-host" --port "$PWD/c-host" --software sw.bin \
        --units-log units.jsonl --rearm-quiet 1 --retries 0 --json
    # Boxes one after another on each slot; the second on b refuses its image.
    run_box_on a --timeout 30 accept --out out-a1 --expect 1
    expect_status "$box_status" 0 "box a1"
    run_box_on b --timeout 3 accept --out out-b1 --expect 1 --nak-first-verdict
    [ "$box_status" != 0 ] || fail "the refusing box took its image"
    run_box_on c --timeout 30 accept --out out-c1 --expect 1
    expect_status "$box_status" 0 "box c1"

    # A box that talks on after its update is not taken for a new one: no beacon while the
    # line is not quiet, so a box waiting there is never asked. The talk begins as soon as
    # the unit is over, well inside the second of quiet that would re-arm the slot.
    ( for _ in $(seq 1 12); do printf 'booting\n' >&"$c"; sleep 0.25; done ) &
    local talker=$!
    run_box_on c --timeout 2.5 accept --out out-c2 --expect 1
    wait "$talker"
    [ ! -e out-c2/software.bin ] || fail "a box kept on the line was updated twice"
    grep -q booting station.err || fail "the box's words did not reach the terminal"

    # A file replaced between units goes to the next boxes, even at the same length and with the
    # same time stamp, while earlier units still hold what they sent.
    padded sw.bin first.bin
    touch -r sw.bin stamp
    random_file new.bin 30000
    cat new.bin > sw.bin
    touch -r stamp sw.bin
    run_box_on a --timeout 30 accept --out out-a2 --expect 1
    expect_status "$box_status" 0 "box a2"
    run_box_on b --timeout 30 accept --out out-b2 --expect 1
    expect_status "$box_status" 0 "box b2"
    padded sw.bin second.bin
    for out in out-a1 out-c1; do
        cmp -s first.bin "$out/software.bin" || fail "$out: software not stored"
    done
    for out in out-a2 out-b2; do
        cmp -s second.bin "$out/software.bin" || fail "$out: the replaced file not sent"
    done
    await_units 5

    stop_station
    [ "$(grep -c . units.jsonl)" -eq 5 ] || fail "units: $(cat units.jsonl)"
    [ "$(units a ok)" -eq 2 ] || fail "slot a: $(cat units.jsonl)"
    [ "$(units b box-failure)" -eq 1 ] && [ "$(units b ok)" -eq 1 ] || fail "slot b: $(cat units.jsonl)"
    [ "$(units c ok)" -eq 1 ] || fail "slot c: $(cat units.jsonl)"
    grep -q "\"kind\":\"software\".*\"path\":\"$PWD/sw.bin\"" units.jsonl || fail "no image in the units"
    [ "$(grep -c '"event":"unit_started"' station.out)" -eq 5 ] || fail "unit_started events"
    [ "$(grep -c '"event":"unit_complete"' station.out)" -eq 5 ] || fail "unit_complete events"
    grep -Eq "^$PWD/b-host +2 +1 +1 +0" station.err || fail "no totals: $(cat station.err)"
    exec {a}>&- {b}>&- {c}>&-
}

case_station_stops_on_signals() {
    random_file sw.bin 300000
    local a
    start_pair a
    exec {a}<>a-box
    # A slot that never opens is reported and retried; it does not end the station.
    start_station --port "$PWD/a-host" --port /dev/vandrelux-absent --software sw.bin \
        --units-log units.jsonl --baud 115200
    "$BOXSIM" --device "$PWD/a-box" --baud 115200 --report a.json --timeout 30 accept \
        --out out-a --expect 1 > a.out 2> a.err &
    more_boxes+=("$!")
    for _ in $(seq 1 100); do grep -q "box ready\|sw.bin" station.err && break; sleep 0.05; done
    sleep 2.2  # the absent slot tries again twice meanwhile
    # The first signal lets the unit finish; the second abandons it.
    kill -INT "$station_pid"
    sleep 0.3
    kill -TERM "$station_pid"
    stop_station_after_signals
    [ "$(grep -c . units.jsonl)" -eq 1 ] || fail "units: $(cat units.jsonl)"
    grep -q '"outcome":"abandoned"' units.jsonl || fail "not abandoned: $(cat units.jsonl)"
    grep -q "cannot open /dev/vandrelux-absent" station.err || fail "absent slot not reported"
    [ "$(grep -c "cannot open /dev/vandrelux-absent" station.err)" -eq 1 ] \
        || fail "the absent slot reported more than once"
    # Standard error is a file here: a state goes there once, not at every attempt.
    [ "$(grep -c "^/dev/vandrelux-absent  opening" station.err)" -eq 1 ] \
        && [ "$(grep -c "^/dev/vandrelux-absent  cannot open; trying again" station.err)" -eq 1 ] \
        || fail "the absent slot's state repeated: $(cat station.err)"
    grep -Eq "^$PWD/a-host +1 +0 +0 +1" station.err || fail "no totals: $(cat station.err)"
    exec {a}>&-
}

case_station_box_falls_silent() {
    random_file sw.bin 100000
    local a
    start_pair a
    exec {a}<>a-box
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl \
        --unit-silence 1 --rearm-quiet 0.5
    # Taken off after the header and one frame: the unit ends, the slot takes the next box.
    run_box_on a --timeout 4 --silent-after 2 accept --out out-a1 --expect 1
    await_units 1
    grep -q '"outcome":"timed-out"' units.jsonl || fail "not timed out: $(cat units.jsonl)"
    run_box_on a --timeout 30 accept --out out-a2 --expect 1
    expect_status "$box_status" 0 "box a2"
    await_units 2
    # A file grown too large between units: the unit ends saying so, the station goes on.
    truncate -s 2147483647 sw.bin
    run_box_on a --timeout 3 accept --out out-a3 --expect 1
    await_units 3
    grep -q '"outcome":"file-not-openable","reason":"cannot send sw.bin: an image must be smaller than 2 GiB"' \
        units.jsonl || fail "no size reason: $(tail -1 units.jsonl)"
    kill -INT "$station_pid"
    stop_station_after_signals
    [ "$(units a ok)" -eq 1 ] || fail "slot a: $(cat units.jsonl)"
    exec {a}>&-
}

# Waits for a station already signalled to end with status 0.
stop_station_after_signals() {
    local status=0
    timeout 30 tail --pid="$station_pid" -f /dev/null || fail "the station did not end"
    wait "$station_pid" || status=$?
    expect_status "$status" 0 "station"
}

# Waits until the JSON stream of the station has N lines with TEXT.
await_events() {
    for _ in $(seq 1 200); do
        [ "$(grep -c -- "$2" station.out || true)" -ge "$1" ] && return 0
        sleep 0.05
    done
    fail "no $2 in the events: $(cat station.err)"
}

case_station_watched_devices_come_and_go() {
    random_file sw.bin 20000
    random_file big.bin 400000
    local x y
    mkdir slots
    start_pair x; start_pair y
    local y_line=${helpers[-1]}
    exec {x}<>x-box {y}<>y-box
    start_station --watch "$PWD/slots/*" --software sw.bin --units-log units.jsonl \
        --rearm-quiet 1 --json
    sleep 0.3
    # A device that appears while the station runs gets a slot.
    ln -s "$PWD/x-host" slots/x
    run_box_on x --timeout 30 accept --out out-x --expect 1
    expect_status "$box_status" 0 "box x"

    # One that goes mid-unit ends it as line-lost; the station goes on.
    ln -s "$PWD/y-host" slots/y
    await_events 1 "\"port_opened\".*slots/y"
    "$BOXSIM" --device "$PWD/y-box" --baud 115200 --report y.json --timeout 30 accept --out out-y \
        --expect 1 > y.out 2> y.err &
    local slow=$!
    more_boxes+=("$slow")
    await_events 1 '"unit_started".*slots/y'
    rm slots/y
    await_units 2
    kill "$slow"; wait "$slow" 2> /dev/null || true

    # When it comes back it has its slot again.
    ln -s "$PWD/y-host" slots/y
    run_box_on y --timeout 30 accept --out out-y2 --expect 1
    expect_status "$box_status" 0 "box y again"
    await_units 3

    # A device that goes while its link stays (it leads nowhere until the device is back) has
    # its slot again when it comes back, with no change to the watched folder.
    exec {y}>&-
    kill "$y_line"
    for _ in $(seq 1 100); do
        [ "$(grep -c "slots/y went away" station.err)" -ge 2 ] && break
        sleep 0.05
    done
    [ "$(grep -c "slots/y went away" station.err)" -ge 2 ] || fail "the device's going not seen"
    [ -L slots/y ] && [ ! -e slots/y ] || fail "the link should lead nowhere now"
    start_pair y
    run_box_on y --timeout 30 accept --out out-y3 --expect 1
    expect_status "$box_status" 0 "box y after its device came back"
    await_units 4
    stop_station
    [ "$(grep -c . units.jsonl)" -eq 4 ] || fail "units: $(cat units.jsonl)"
    grep -q "\"outcome\":\"ok\".*\"slot\":\"$PWD/slots/x\",\"start\"" units.jsonl || fail "x: $(cat units.jsonl)"
    grep -q "\"outcome\":\"line-lost\".*\"slot\":\"$PWD/slots/y\".*\"unit\":1}" units.jsonl \
        || fail "y lost: $(cat units.jsonl)"
    grep -q "\"outcome\":\"ok\".*\"slot\":\"$PWD/slots/y\".*\"unit\":2}" units.jsonl \
        || fail "y again: $(cat units.jsonl)"
    grep -q "\"outcome\":\"ok\".*\"slot\":\"$PWD/slots/y\".*\"unit\":3}" units.jsonl \
        || fail "y after its device came back: $(cat units.jsonl)"
    exec {x}>&-
}

# Waits until the station's standard error has a line with TEXT.
await_note() {
    for _ in $(seq 1 200); do
        grep -q -- "$1" station.err 2> /dev/null && return 0
        sleep 0.05
    done
    fail "no \"$1\" from the station: $(cat station.err)"
}

# Every line of units.jsonl but the torn ones in SKIP parses, and no unit is there twice.
check_units_log() {
    python3 - "${1:-0}" << 'PY'
import json, sys
seen, torn = set(), 0
for line in open("units.jsonl", encoding="utf-8"):
    try:
        unit = json.loads(line)
    except ValueError:
        torn += 1
        continue
    key = (unit["slot"], unit["unit"], unit["start"])
    if key in seen:
        sys.exit("recorded twice: %s" % line)
    seen.add(key)
if torn != int(sys.argv[1]):
    sys.exit("%d torn lines, %s expected" % (torn, sys.argv[1]))
PY
}

case_station_box_talks_while_waiting() {
    random_file sw.bin 20000
    local a
    start_pair a
    exec {a}<>a-box
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl --rearm-quiet 0.5
    await_note "a-host  waiting for a box"
    # A stray byte stops the beacon; a loader that speaks only once it hears one, and only in
    # its first seconds, is served once the line has been quiet.
    printf x >&"$a"
    sleep 0.2
    run_box_on a --timeout 10 accept --listen-ms 4000 --out out-a1 \
        --reboot-text 'booting...\r\nlogin: ' --reboot-ms 1000
    expect_status "$box_status" 0 "the loader after a stray byte"
    # Its new software said "login: " after the slot had armed again: the next box is served.
    run_box_on a --timeout 10 accept --listen-ms 4000 --out out-a2
    expect_status "$box_status" 0 "the box after a talking one"
    await_units 2
    stop_station
    [ "$(units a ok)" -eq 2 ] || fail "slot a: $(cat units.jsonl)"
    grep -q "a-host  box talking" station.err || fail "talking not shown: $(cat station.err)"
    exec {a}>&-
}

case_station_unit_without_progress_times_out() {
    random_file sw.bin 30000
    local a
    start_pair a
    exec {a}<>a-box
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl \
        --unit-silence 1 --rearm-quiet 0.5
    # Taken off mid-image, it reboots and talks for ever; then one that refuses every frame.
    run_box_on a --timeout 3 --silent-after 2 --reboot-loop-ms 300 accept --out out-a1
    run_box_on a --timeout 3 accept --nak-share 1 --give-up-after 0 --out out-a2
    run_box_on a --timeout 10 accept --out out-a3
    expect_status "$box_status" 0 "the box after the stalled ones"
    await_units 3
    stop_station
    grep -q '"outcome":"timed-out","reason":"the box talked for 1 s but took the update no further".*"unit":1}' \
        units.jsonl || fail "talking box: $(cat units.jsonl)"
    grep -q '"outcome":"timed-out","reason":"the box refused every frame for 1 s ([0-9]* refusals)".*"unit":2}' \
        units.jsonl || fail "refusing box: $(cat units.jsonl)"
    [ "$(units a ok)" -eq 1 ] || fail "slot a: $(cat units.jsonl)"
    exec {a}>&-
}

case_station_units_log_torn_and_killed() {
    random_file sw.bin 60000
    local a
    start_pair a
    exec {a}<>a-box
    # An earlier run left a torn last line.
    printf '{"slot":"old","unit":1,"start":"s","outcome":"ok"}\n{"slot":"old","unit":2,"sta' > units.jsonl
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl --rearm-quiet 0.3
    run_box_on a --timeout 10 accept --out out-a1
    expect_status "$box_status" 0 "box a1"
    await_units 3
    # Killed mid-unit, started again on the same log.
    "$BOXSIM" --device "$PWD/a-box" --baud 115200 --report a2.json --timeout 30 accept \
        --out out-a2 > a2.out 2> a2.err &
    more_boxes+=("$!")
    await_note "a-host  box ready"
    kill -KILL "$station_pid"
    wait "$station_pid" 2> /dev/null || true
    kill "${more_boxes[-1]}" 2> /dev/null || true
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl --rearm-quiet 0.3
    run_box_on a --timeout 10 accept --out out-a3
    expect_status "$box_status" 0 "box a3"
    await_units 4
    stop_station
    check_units_log 1
    [ "$(units a ok)" -eq 2 ] || fail "slot a: $(cat units.jsonl)"
    exec {a}>&-
}

case_station_outlives_its_readers() {
    random_file sw.bin 20000
    local a
    start_pair a
    exec {a}<>a-box
    mkfifo events.fifo units.fifo
    head -n 1 events.fifo > events.out &
    helpers+=("$!")
    head -n 1 units.fifo > units.out &
    helpers+=("$!")
    "$CLI" --station --port "$PWD/a-host" --software sw.bin --units-log units.fifo \
        --rearm-quiet 0.3 --json > events.fifo 2> station.err &
    station_pid=$!
    helpers+=("$station_pid")
    for box in 1 2; do
        run_box_on a --timeout 10 accept --out "out-a$box"
        expect_status "$box_status" 0 "box a$box"
        await_note "passed $box"
    done
    await_note "a-host  waiting for a box  passed 2"
    stop_station
    grep -q "standard output: Broken pipe" station.err || fail "closed output not said: $(cat station.err)"
    grep -Eq "^$PWD/a-host +2 +2 +0 +0" station.err || fail "no totals: $(cat station.err)"
    # The units log's reader took the first unit; the second is on standard error, not lost.
    grep -q '"unit":1}' units.out || fail "first unit: $(cat units.out)"
    grep -q "1 units could not be written to the units log units.fifo" station.err \
        || fail "waiting unit not said: $(cat station.err)"
    grep -q '^{.*"outcome":"ok".*"unit":2}$' station.err || fail "second unit lost: $(cat station.err)"
    exec {a}>&-
}

case_station_reopens_its_units_log() {
    random_file sw.bin 20000
    local a
    start_pair a
    exec {a}<>a-box
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl --rearm-quiet 0.3
    run_box_on a --timeout 10 accept --out out-a1
    await_units 1
    # As logrotate does it: the log is moved away, then the station told.
    mv units.jsonl units.jsonl.1
    kill -HUP "$station_pid"
    await_note "units log units.jsonl reopened"
    run_box_on a --timeout 10 accept --out out-a2
    await_units 1
    stop_station
    grep -q '"unit":1}' units.jsonl.1 && grep -q '"unit":2}' units.jsonl \
        || fail "rotated: $(cat units.jsonl.1) now: $(cat units.jsonl)"
    exec {a}>&-
}

# What a terminal shows after the bytes of FILE: cursor moves and erasures applied, one line each.
screen_of() {
    python3 - "$1" << 'PY'
import re, sys
data = open(sys.argv[1], "rb").read().decode("utf-8", "replace")
rows, row, col = [[]], 0, 0
for token in re.findall(r"\x1b\[[0-9;?]*[A-Za-z]|.", data, re.S):
    if token.startswith("\x1b["):
        count = int(token[2:-1] or 1) if token[2:-1].isdigit() else 1
        if token[-1] == "A":
            row = max(0, row - count)
        elif token[-1] == "J":
            del rows[row][col:]
            del rows[row + 1:]
        elif token[-1] == "K":
            del rows[row][col:]
        continue
    if token == "\r":
        col = 0
    elif token == "\n":
        row += 1
        while len(rows) <= row:
            rows.append([])
    else:
        line = rows[row]
        line.extend(" " * (col - len(line)))
        line[col:col + 1] = [token]
        col += 1
while rows and not "".join(rows[-1]).strip():
    rows.pop()
print("\n".join("".join(line).rstrip() for line in rows))
PY
}

case_station_board_on_a_terminal() {
    random_file sw.bin 20000
    start_pair a; start_pair b
    # The station's standard error is a real terminal here: one line per slot, redrawn in place.
    local command
    command=$(printf '%q ' "$CLI" --station --port "$PWD/a-host" --port "$PWD/b-host" \
        --software sw.bin --units-log units.jsonl --rearm-quiet 1)
    SHELL=/bin/bash script -qfec "echo \$\$ > station.pid; exec $command" terminal.out \
        < /dev/null > /dev/null 2>&1 &
    local script_pid=$!
    helpers+=("$script_pid")
    ln -s terminal.out station.err  # what the helpers show when they fail
    run_box_on a --timeout 30 accept --out out-a --expect 1
    expect_status "$box_status" 0 "box a"
    await_units 1
    for _ in $(seq 1 100); do
        screen_of terminal.out > during.txt
        tail -n 2 during.txt | grep -q "a-host  waiting for .*passed 1" && break
        sleep 0.05
    done
    station_pid=$(cat station.pid)
    kill -INT "$station_pid"
    timeout 30 tail --pid="$script_pid" -f /dev/null || fail "the station did not end"
    screen_of terminal.out > screen.txt
    # While it runs: every line the station printed, and below them one line per slot.
    [ "$(grep -c "passed" during.txt)" -eq 2 ] || fail "slot lines left behind: $(cat during.txt)"
    tail -n 2 during.txt | grep -q "a-host  waiting for .*passed 1  failed 0" \
        || fail "slot a: $(cat during.txt)"
    tail -n 1 during.txt | grep -q "b-host  waiting for a box  passed 0  failed 0" \
        || fail "slot b: $(cat during.txt)"
    [ "$(grep -c "passed 0  failed 0" terminal.out)" -gt 2 ] || fail "the slot lines were never redrawn"
    # At the end the totals take the slot lines' place, and the message log is all there.
    for line in "Start Sending sw.bin  files!" "Send sw.bin complete!" "image 00001000 stored"; do
        grep -q "^\[$PWD/a-host\] $line" screen.txt || fail "\"$line\" wiped: $(cat screen.txt)"
    done
    ! grep -q "passed" screen.txt || fail "slot lines left at the end: $(cat screen.txt)"
    grep -Eq "^$PWD/a-host +1 +1 +0 +0" screen.txt || fail "no totals: $(cat screen.txt)"
}

case_station_traces_its_boxes() {
    random_file sw.bin 20001  # odd: the box gets a pad byte, the digest is the file's
    local a
    start_pair a
    exec {a}<>a-box
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl \
        --rearm-quiet 0.5 --station-id line1-st3 --box-id 'S/N: (\w+)' \
        --boot-check 'App [0-9.]+ ready' --boot-check-seconds 1.5
    # A banner before the line is open would be flushed with the line's old input.
    await_note "a-host  waiting for a box"
    # Identified, refuses nothing, its new software announces itself: passed at the first go.
    run_box_on a --timeout 30 --banner 'Loader 2.1 S/N: AB123\r\n' accept --out out-a1 \
        --reboot-text 'App 2.0 ready\r\n' --reboot-ms 200
    expect_status "$box_status" 0 "box a1"
    await_units 1
    # No identity, some frames refused, and the new software never says it runs.
    run_box_on a --timeout 30 accept --out out-a2 --nak-share 0.3
    await_units 2
    stop_station
    grep -q "unit 2: the box gave no identity" station.err || fail "no identity not said"
    # Started again on the same log, with an identity required: numbers go on.
    start_station --port "$PWD/a-host" --software sw.bin --units-log units.jsonl \
        --rearm-quiet 0.5 --box-id 'S/N: (\w+)' --require-box-id
    run_box_on a --timeout 5 accept --out out-a3
    await_units 3
    stop_station
    [ ! -e out-a3/software.bin ] || fail "a box without identity was updated"
    python3 - units.jsonl "$(sha256sum sw.bin | cut -d' ' -f1)" "$(hostname)" <<'PY' \
        || fail "units: $(cat units.jsonl)"
import json, sys
units = [json.loads(line) for line in open(sys.argv[1])]
digest, host = sys.argv[2], sys.argv[3]
first, second, third = units
assert [u["seq"] for u in units] == [1, 2, 3], "seq"
assert [u["station"] for u in units] == ["line1-st3", "line1-st3", host], "station"
assert first["outcome"] == "ok" and first["first_pass"] is True, first
assert first["box_id"] == "AB123" and "Loader 2.1 S/N: AB123\n" in first["box_text"], first
assert "App 2.0 ready" in first["boot_text"], first
assert first["images"][0]["sha256"] == digest, first["images"]
assert second["outcome"] == "boot-failed" and second["first_pass"] is False, second
assert second["box_id"] == "" and "within 1.5 s" in second["reason"], second
assert third["outcome"] == "box-failure" and "no identity" in third["reason"], third
PY
    exec {a}>&-
}

# Sourced by the runner of the Wine station cases for its helpers; run, it runs CASE.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    "case_$1"
    echo "PASS: $1"
fi
