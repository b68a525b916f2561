#!/usr/bin/env bash
# Runs a Windows test program under Wine with COM1 and COM2 joined by a null-modem cable: two
# pseudo-terminals that socat relays between. One run at a time holds the two ports.
# Usage: with-null-modem.sh BUILD_DIR PROGRAM [ARGS...]
set -euo pipefail
. "$(dirname "$0")/wine-env.sh" "$1"
shift
wine_prefix_ready
exec 8> "$WINE_PORTS/lock"
flock 8
rm -f "$WINE_PORTS/com1" "$WINE_PORTS/com2"
# LD_PRELOAD is meant for Wine, not for the cable.
LD_PRELOAD= socat pty,raw,echo=0,link="$WINE_PORTS/com1" pty,raw,echo=0,link="$WINE_PORTS/com2" 8>&- &
socat_pid=$!
trap 'kill "$socat_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
    [ -e "$WINE_PORTS/com1" ] && [ -e "$WINE_PORTS/com2" ] && break
    sleep 0.05
done
[ -e "$WINE_PORTS/com1" ] && [ -e "$WINE_PORTS/com2" ] || { echo "socat made no ports" >&2; exit 1; }
wine_run "$@"
