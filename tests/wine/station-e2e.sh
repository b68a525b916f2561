#!/usr/bin/env bash
# The station's end-to-end cases with vandrelux-cli.exe under Wine: its slots are COM ports whose
# links point at pseudo-terminal pairs, the boxes run on Linux on the pairs' other ends.
# Usage: station-e2e.sh CASE, with BOXSIM, WINE_BUILD_DIR, CLI_EXE and DEFINE_COM_EXE set.
set -euo pipefail
: "${WINE_BUILD_DIR:?}" "${CLI_EXE:?}" "${DEFINE_COM_EXE:?}"
wine_src=$(cd "$(dirname "$0")" && pwd)
CLI=unused . "$wine_src/../e2e/e2e.sh"
. "$wine_src/wine-env.sh" "$WINE_BUILD_DIR"
wine_prefix_ready
wine_claim_com1 ""
# The modem-line library is for Wine alone, not for the boxes and their cables.
wine_preload=$LD_PRELOAD
unset LD_PRELOAD
wine_() { LD_PRELOAD=$wine_preload wine "$@" 8>&- 9>&-; }

# Starts the station under Wine with the given arguments; sets station_pid. What it prints
# reaches station.out and station.err as it goes, with Windows line ends. Signals go to Wine
# itself (a wrapper such as timeout would pass them on twice); the clean-up ends it.
start_station() {
    LD_PRELOAD=$wine_preload wine "$CLI_EXE" --station "$@" \
        < /dev/null > station.out 2> station.err 8>&- 9>&- &
    station_pid=$!
    helpers+=("$station_pid")
}

# Points the link of COM<n> at the host end of the pair NAME.
com_to_pair() {
    ln -sfn "$PWD/$2-host" "$WINE_PORTS/com$1"
}

# Waits until station.err has a line matching the pattern.
await_station() {
    for _ in $(seq 1 200); do
        grep -q "$1" station.err && return 0
        sleep 0.05
    done
    fail "the station never said \"$1\": $(cat station.err)"
}

# Ends the station with Ctrl+C (which Wine makes of SIGINT) and makes its output Linux text.
stop_station_with_ctrl_c() {
    stop_station
    sed -i 's/\r$//' station.out station.err
}

# Checks the units log line by line: every line whole, and per slot the outcomes in order.
# Usage: check_units_log 'COM1=ok,ok' 'COM2=box-failure,ok'
check_units_log() {
    python3 - units.jsonl "$@" <<'EOF' || fail "units log: $(cat units.jsonl)"
import json, sys
raw = open(sys.argv[1], "rb").read()
assert raw.endswith(b"\n") and b"\r" not in raw, "not whole Linux lines"
units = [json.loads(line) for line in raw.decode().splitlines()]
wanted = dict(arg.split("=") for arg in sys.argv[2:])
for com, outcomes in wanted.items():
    mine = [u for u in units if u["slot"] == "\\\\.\\" + com]
    got = [u["outcome"] for u in mine]
    assert got == outcomes.split(","), (com, got)
    assert [u["unit"] for u in mine] == list(range(1, len(mine) + 1)), (com, "numbers")
assert len(units) == sum(len(o.split(",")) for o in wanted.values()), "other units"
for unit in units:
    if unit["outcome"] == "ok":
        assert unit["images"][0]["path"].endswith("\\sw.bin"), unit["images"]
EOF
}

# Two slots, boxes one after another: a refused image, a box kept on the line is not updated
# twice, Ctrl+C ends the station with its totals.
case_station_two_slots() {
    random_file sw.bin 30000
    local a b
    start_pair a; start_pair b
    exec {a}<>a-box {b}<>b-box
    com_to_pair 1 a; com_to_pair 2 b
    start_station --port COM1 --port COM2 --software sw.bin --units-log units.jsonl \
        --rearm-quiet 1.5 --retries 0 --json
    run_box_on a --timeout 60 accept --out out-a1 --expect 1
    expect_status "$box_status" 0 "box a1"
    run_box_on b --timeout 5 accept --out out-b1 --expect 1 --nak-first-verdict
    [ "$box_status" != 0 ] || fail "the refusing box took its image"
    run_box_on a --timeout 30 accept --out out-a2 --expect 1
    expect_status "$box_status" 0 "box a2"
    ( for _ in $(seq 1 15); do printf 'booting\n' >&"$a"; sleep 0.2; done ) &
    local talker=$!
    run_box_on a --timeout 2.5 accept --out out-a3 --expect 1
    wait "$talker"
    [ ! -e out-a3/software.bin ] || fail "a box kept on the line was updated twice"
    run_box_on b --timeout 30 accept --out out-b2 --expect 1
    expect_status "$box_status" 0 "box b2"
    padded sw.bin expected.bin
    for out in out-a1 out-a2 out-b2; do
        cmp -s expected.bin "$out/software.bin" || fail "$out: software not stored"
    done
    await_units 4
    stop_station_with_ctrl_c
    check_units_log 'COM1=ok,ok' 'COM2=box-failure,ok'
    [ "$(grep -c '"event":"unit_complete"' station.out)" -eq 4 ] || fail "unit_complete events"
    grep -q booting station.err || fail "the box's words did not reach the terminal"
    grep -Eq '^\\\\\.\\COM1 +2 +2 +0 +0$' station.err || fail "no totals: $(cat station.err)"
    grep -Eq '^\\\\\.\\COM2 +2 +1 +1 +0$' station.err || fail "no totals: $(cat station.err)"
    exec {a}>&- {b}>&-
}

# The first Ctrl+C lets the unit under way finish, the second abandons it; a slot whose port
# leads nowhere is reported once and retried meanwhile.
case_station_ctrl_c() {
    random_file sw.bin 300000
    local a
    start_pair a
    exec {a}<>a-box
    com_to_pair 1 a
    start_station --port COM1 --port COM3 --software sw.bin --units-log units.jsonl --baud 115200
    "$BOXSIM" --device "$PWD/a-box" --baud 115200 --report a.json --timeout 60 accept \
        --out out-a --expect 1 > a.out 2> a.err &
    more_boxes+=("$!")
    await_station "sw.bin"
    sleep 2.2
    kill -INT "$station_pid"
    await_station "a second signal abandons them"
    kill -INT "$station_pid"
    stop_station_after_signals
    sed -i 's/\r$//' station.out station.err
    check_units_log 'COM1=abandoned'
    [ "$(grep -c 'cannot open \\\\.\\COM3' station.err)" -eq 1 ] \
        || fail "the port to nothing not reported once: $(cat station.err)"
    grep -q "Ctrl+C, Ctrl+Break or closing the console" station.err || fail "no Windows keys"
    grep -Eq '^\\\\\.\\COM1 +1 +0 +0 +1$' station.err || fail "no totals: $(cat station.err)"
    exec {a}>&-
}

# A watched COM port that appears while the station runs becomes a slot, and leaves when it
# goes. The port comes as an adapter's driver brings one: a name in the system's list of devices
# (which Wine opens through a link of its prefix, made first).
case_station_com_port_appears() {
    random_file sw.bin 20000
    local a
    start_pair a
    exec {a}<>a-box
    start_station --watch 'COM9' --software sw.bin --units-log units.jsonl --rearm-quiet 0.5
    await_station "station running"
    trap 'wine_ "$DEFINE_COM_EXE" remove COM9 > /dev/null 2>&1 || true
          rm -f "$WINEPREFIX/dosdevices/com9"; cleanup' EXIT
    ln -sfn "$PWD/a-host" "$WINEPREFIX/dosdevices/com9"
    wine_ "$DEFINE_COM_EXE" add COM9 '\Device\Serial0'
    run_box_on a --timeout 60 accept --out out-a1 --expect 1
    expect_status "$box_status" 0 "box a1"
    await_units 1
    wine_ "$DEFINE_COM_EXE" remove COM9
    await_station 'COM9 went away'
    stop_station_with_ctrl_c
    check_units_log 'COM9=ok'
    grep -Eq '^\\\\\.\\COM9 +1 +1 +0 +0$' station.err || fail "no totals: $(cat station.err)"
    exec {a}>&-
}

# The station's page, API and metrics over loopback from the Windows build.
case_station_api() {
    random_file sw.bin 20000
    local a
    start_pair a
    exec {a}<>a-box
    com_to_pair 1 a
    start_station --port COM1 --software sw.bin --units-log units.jsonl --http 127.0.0.1:0 \
        --rearm-quiet 0.5
    await_station "the page, the API and the metrics are at"
    local url
    url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' station.err | head -n 1)
    run_box_on a --timeout 60 accept --out out-a1 --expect 1
    expect_status "$box_status" 0 "box a1"
    await_units 1
    python3 - "$url" <<'PY' || fail "API: $(cat station.err)"
import json, re, sys, urllib.request
url = sys.argv[1]
get = lambda path: urllib.request.urlopen(url + path, timeout=10).read().decode()
slots = json.loads(get("api/v1/slots"))["slots"]
assert [s["slot"] for s in slots] == ["\\\\.\\COM1"] and slots[0]["passed"] == 1, slots
units = json.loads(get("api/v1/units"))["units"]
assert len(units) == 1 and units[0]["outcome"] == "ok", units
metrics = get("metrics")
assert re.search(r'^vandrelux_units_total\{[^}]*outcome="ok"[^}]*\} 1$', metrics, re.M), metrics
assert "<html" in get("").lower()
PY
    stop_station_with_ctrl_c
    exec {a}>&-
}

"case_$1"
echo "PASS: $1"
