#!/usr/bin/env bash
# The station's chaos run with vandrelux-cli.exe under Wine: its slots are COM ports whose links
# point at the run's pseudo-terminal pairs.
# Usage: station-chaos.sh BUILD_DIR CLI_EXE BOXSIM [station-chaos.py options]
set -euo pipefail
wine_src=$(cd "$(dirname "$0")" && pwd)
. "$wine_src/wine-env.sh" "$1"
cli_exe=$2 boxsim=$3
shift 3
wine_prefix_ready
wine_claim_com1 ""
# The modem-line library is for Wine alone, not for the boxes and their cables.
preload=$LD_PRELOAD
unset LD_PRELOAD
python3 "$wine_src/../soak/station-chaos.py" --cli "$cli_exe" --boxsim "$boxsim" \
    --wine-ports "$WINE_PORTS" --wine-preload "$preload" "$@" 8>&-
