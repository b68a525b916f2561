#!/usr/bin/env bash
# vandrelux.exe under Xvfb and Wine, called as the Linux end-to-end cases call the window: the
# device after --com1 becomes COM1, whose link in the prefix is first pointed at that device.
# Usage: WINDOW=window-on-com1.sh tests/e2e/e2e.sh CASE, with WINE_BUILD_DIR and WINDOW_EXE set.
set -euo pipefail
: "${WINE_BUILD_DIR:?}" "${WINDOW_EXE:?}"
. "$(dirname "$0")/wine-env.sh" "$WINE_BUILD_DIR"
wine_session_for_this_display
wine_prefix_ready
# Xvfb has no window manager to draw the title bar; Wine draws it itself then, screenshots too.
if ! grep -q '"Decorated"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f \
        > /dev/null
fi
args=()
device=""
while [ $# -gt 0 ]; do
    if [ "$1" = --com1 ] && [ $# -ge 2 ]; then
        device=$2
        shift 2
    else
        args+=("$1")
        shift
    fi
done
wine_claim_com1 "$device"
exec timeout --kill-after=10 "${VANDRELUX_WINE_TIMEOUT:-120}" xvfb-run -a wine "$WINDOW_EXE" "${args[@]}"
