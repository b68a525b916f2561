#!/usr/bin/env bash
# vandrelux-cli.exe under Wine, called as the Linux end-to-end cases call the CLI: the device
# after --port becomes COM1, whose link in the prefix is first pointed at that device; a network
# port (rfc2217://, tcp://) is passed on as it stands, for Winsock to reach. What it prints ends
# its lines as on Linux.
# Usage: CLI=cli-on-com1.sh tests/e2e/e2e.sh CASE, with WINE_BUILD_DIR and CLI_EXE set.
set -euo pipefail
: "${WINE_BUILD_DIR:?}" "${CLI_EXE:?}"
. "$(dirname "$0")/wine-env.sh" "$WINE_BUILD_DIR"
wine_prefix_ready
args=()
device=""
while [ $# -gt 0 ]; do
    if [ "$1" = --port ] && [ $# -ge 2 ] && [[ $2 =~ ^(rfc2217|tcp|socket):// ]]; then
        args+=("$1" "$2")
        shift 2
    elif [ "$1" = --port ] && [ $# -ge 2 ]; then
        device=$2
        args+=(--port COM1)
        shift 2
    else
        args+=("$1")
        shift
    fi
done
wine_claim_com1 "$device"
WINE_UNIX_LINES=1 wine_run "$CLI_EXE" "${args[@]}"
