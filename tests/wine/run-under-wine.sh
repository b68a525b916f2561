#!/usr/bin/env bash
# Runs a Windows test program under Wine in the build tree's prefix, bounded in time.
# Usage: run-under-wine.sh BUILD_DIR PROGRAM [ARGS...]
set -euo pipefail
. "$(dirname "$0")/wine-env.sh" "$1"
shift
wine_session_for_this_display
wine_prefix_ready
wine_run "$@"
