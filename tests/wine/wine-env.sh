# Sourced by the Wine test scripts: one Wine prefix per build tree, with COM1 to COM7 mapped to
# symlinks that the tests point at pseudo-terminals (COM3 at nothing; COM9 is left for a test to
# name while programs run), and the modem-line library preloaded.
# Usage: . wine-env.sh BUILD_DIR

wine_dir="$(cd "$1" && pwd)/wine"
wine_src="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$wine_dir/ports"
export WINEPREFIX="$wine_dir/prefix"
export WINEDEBUG=-all
# A fresh prefix would otherwise offer to install Mono and Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINE_PORTS="$wine_dir/ports"

# Builds the preload library when it is missing or older than its source.
wine_modem_library() {
    local lib="$wine_dir/libptymodem.so"
    if [ ! -e "$lib" ] || [ "$wine_src/ptymodem.c" -nt "$lib" ]; then
        gcc -shared -fPIC -O2 -Wall -Wextra -o "$lib.tmp" "$wine_src/ptymodem.c" -ldl
        mv "$lib.tmp" "$lib"
    fi
    echo "$lib"
}

# What a ready prefix holds; a prefix made for another setup is made anew.
wine_setup="COM1-COM7 -> $WINE_PORTS"

# Creates the prefix once, and starts its wineserver with no test's descriptors or output, so
# that it holds no lock and writes into no test's log. Several tests may ask at the same time.
wine_prefix_ready() {
    (
        flock 9
        if [ "$(cat "$wine_dir/prefix.ready" 2>/dev/null)" = "$wine_setup" ]; then
            wineserver -p < /dev/null >> "$wine_dir/wineserver.log" 2>&1 8>&- 9>&- || true
            exit 0
        fi
        rm -rf "$WINEPREFIX"
        timeout 180 wineboot -i < /dev/null > "$wine_dir/wineboot.log" 2>&1 9>&- || {
            cat "$wine_dir/wineboot.log" >&2
            echo "wineboot failed" >&2
            exit 1
        }
        # The serial ports are read from here whenever wineserver starts, unlike links made
        # in dosdevices, which it resets. COM3 stays a link to nothing.
        for n in 1 2 3 4 5 6 7; do
            timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
                /d "$WINE_PORTS/com$n" /f < /dev/null >> "$wine_dir/wineboot.log" 2>&1 9>&-
        done
        timeout 60 wineserver -w 9>&-
        wineserver -p < /dev/null >> "$wine_dir/wineserver.log" 2>&1 8>&- 9>&- || true
        echo "$wine_setup" > "$wine_dir/prefix.ready"
    ) 9> "$wine_dir/prefix.lock"
    LD_PRELOAD="$(wine_modem_library)"
    export LD_PRELOAD
}

# Windows are drawn through the session's desktop process, which takes the display of whichever
# program started it; one started by a run without a display, or on an Xvfb that is gone, hangs
# every window after it. A program with windows therefore starts a session of its own: call this
# before wine_prefix_ready. (Runs are one at a time, as ctest runs them here.)
wine_session_for_this_display() {
    [ -n "${DISPLAY:-}" ] || return 0
    wineserver -k 2>/dev/null || true
    timeout 60 wineserver -w 2>/dev/null || true
}

# Takes the COM links for this program alone (the lock goes with descriptor 8 when the program
# ends) and points COM1 at the device, when one is given.
wine_claim_com1() {
    exec 8> "$WINE_PORTS/lock"
    flock 8
    if [ -n "$1" ]; then
        ln -sfn "$1" "$WINE_PORTS/com1"
    fi
}

# Runs wine with the given arguments, bounded in time. The first program of a Wine session
# starts helper processes that outlive it and inherit its descriptors: they get files instead
# of the caller's pipes (which they would hold open) and no lock descriptor (which they would
# hold for good). What the program printed is passed on when it ends, with Linux line ends when
# WINE_UNIX_LINES is set.
wine_run() {
    local out err status=0
    out=$(mktemp) err=$(mktemp)
    timeout --kill-after=10 "${VANDRELUX_WINE_TIMEOUT:-300}" wine "$@" \
        < /dev/null > "$out" 2> "$err" 8>&- 9>&- || status=$?
    if [ -n "${WINE_UNIX_LINES:-}" ]; then
        sed 's/\r$//' "$out"
        sed 's/\r$//' "$err" >&2
    else
        cat "$out"
        cat "$err" >&2
    fi
    rm -f "$out" "$err"
    return "$status"
}
