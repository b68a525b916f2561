#!/usr/bin/env bash
# Runs a Windows test program under Wine with COM ports joined by null-modem cables: COM1-COM2,
# COM4-COM5 and COM6-COM7, each two pseudo-terminals that socat relays between. One run at a
# time holds the ports.
# Usage: with-null-modem.sh BUILD_DIR PROGRAM [ARGS...]
set -euo pipefail
. "$(dirname "$0")/wine-env.sh" "$1"
shift
wine_prefix_ready
exec 8> "$WINE_PORTS/lock"
flock 8
cables=()
trap 'kill "${cables[@]}" 2>/dev/null || true' EXIT
for pair in "1 2" "4 5" "6 7"; do
    read -r a b <<< "$pair"
    rm -f "$WINE_PORTS/com$a" "$WINE_PORTS/com$b"
    # LD_PRELOAD is meant for Wine, not for the cable.
    LD_PRELOAD= socat pty,raw,echo=0,link="$WINE_PORTS/com$a" pty,raw,echo=0,link="$WINE_PORTS/com$b" 8>&- &
    cables+=("$!")
done
for n in 1 2 4 5 6 7; do
    for _ in $(seq 1 100); do
        [ -e "$WINE_PORTS/com$n" ] && break
        sleep 0.05
    done
    [ -e "$WINE_PORTS/com$n" ] || { echo "socat made no COM$n" >&2; exit 1; }
done
wine_run "$@"
