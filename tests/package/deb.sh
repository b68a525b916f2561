#!/usr/bin/env bash
# Installs this build's Debian package with dpkg into a fresh root, as on an operator's machine,
# and runs what it installed: --help and --version, a download from the installed CLI to the
# installed box simulator, and the installed window with /usr/bin read-only, whose settings
# must then go to $XDG_CONFIG_HOME. Removing the package must leave none of its files.
# Usage: deb.sh BUILD_DIR VERSION WITH_WINDOW(0|1)
set -euo pipefail

build=$1 version=$2 with_window=$3
deb="$build/vandrelux_${version}_$(dpkg --print-architecture).deb"
work=$(mktemp -d)
box_pid=""
cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -f "$deb" ] || fail "no package at $deb"
[ "$(dpkg-deb -f "$deb" Package)" = vandrelux ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
dependencies=$(tr ',|' '\n\n' <<< "$depends" | sed 's/(.*)//; s/:any//' | tr -d ' ' | sort -u)

# The root's dpkg knows only the packages the Depends names, as this machine has them, so an
# unsatisfiable Depends fails the installation.
root="$work/root"
admin="$root/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: > "$admin/status"
for dependency in $dependencies; do
    dpkg-query -s "$dependency" >> "$admin/status" 2>/dev/null || fail "$dependency is not installed here"
    echo >> "$admin/status"
    for name in $(dpkg-query -W -f='${binary:Package}\n' "$dependency"); do
        : > "$admin/info/$name.list"
    done
done
dpkg --root="$root" --log=/dev/null -i "$deb" > "$work/dpkg.out" 2>&1 \
    || { cat "$work/dpkg.out" >&2; fail "dpkg did not install the package"; }

expected=(/usr/bin/vandrelux-cli /usr/bin/vandrelux-boxsim
          /usr/share/man/man1/vandrelux-cli.1
          /usr/share/bash-completion/completions/vandrelux-cli
          /usr/share/applications/vandrelux.desktop
          /usr/share/icons/hicolor/scalable/apps/vandrelux.svg
          /usr/share/doc/vandrelux/README.Debian /usr/share/doc/vandrelux/copyright)
[ "$with_window" = 1 ] && expected+=(/usr/bin/vandrelux)
listed=$(dpkg --root="$root" -L vandrelux | while read -r f; do
    [ -f "$root$f" ] && echo "$f"; done | sort)
diff <(printf '%s\n' "${expected[@]}" | sort) <(echo "$listed") \
    || fail "the package's files differ from the list above (< missing, > unexpected)"
grep -q dialout "$root/usr/share/doc/vandrelux/README.Debian" || fail "no word on dialout"
if [ "$with_window" = 1 ]; then
    grep -qx fonts-wqy-microhei <<< "$dependencies" || fail "Depends ($depends) lacks the window's font"
fi

# The package that holds a file, whichever of the merged /usr paths dpkg knows it by.
owner_of() {
    { dpkg -S "$1" || dpkg -S "${1#/usr}" || dpkg -S "/usr$1"; } 2>/dev/null | head -n 1 | cut -d: -f1
}
# Every library a program loads itself comes from a package that the Depends names.
for program in "$root"/usr/bin/*; do
    for library in $(objdump -p "$program" | awk '$1 == "NEEDED" {print $2}'); do
        path=$(ldd "$program" | awk -v l="$library" '$1 == l {print $3}')
        owner=$(owner_of "$path")
        [ -n "$owner" ] || fail "no package here holds $library ($path)"
        grep -qxF "$owner" <<< "$dependencies" \
            || fail "$(basename "$program") needs $library from $owner, which Depends ($depends) lacks"
    done
done

bin="$root/usr/bin"
"$bin/vandrelux-cli" --help > "$work/help.txt" || fail "vandrelux-cli --help failed"
grep -q -- --port "$work/help.txt" || fail "--help names no --port"
programs=(vandrelux-cli vandrelux-boxsim)
[ "$with_window" = 1 ] && programs+=(vandrelux)
for program in "${programs[@]}"; do
    [ "$("$bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done
bash -c ". '$root/usr/share/bash-completion/completions/vandrelux-cli' && complete -p vandrelux-cli" \
    > /dev/null || fail "the bash completion does not load"

cd "$work"
# Starts the installed box on a new pseudo-terminal; sets DEV to its line.
start_box() {
    "$bin/vandrelux-boxsim" --timeout 60 --report "$1.json" accept --out "$1" > "$1.out" 2> "$1.err" &
    box_pid=$!
    DEV=""
    for _ in $(seq 1 100); do
        DEV=$(head -n 1 "$1.out" 2>/dev/null || true)
        [ -n "$DEV" ] && return 0
        sleep 0.05
    done
    cat "$1.err" >&2
    fail "the box printed no device"
}
expect_box() {
    local status=0
    wait "$box_pid" || status=$?
    box_pid=""
    [ "$status" = 0 ] || { cat "$1.err" >&2; fail "box: status $status"; }
}

head -c 20001 /dev/urandom > sw.bin
{ cat sw.bin; printf '\0'; } > stored.bin
start_box cli-box
timeout 60 "$bin/vandrelux-cli" --port "$DEV" --software sw.bin > cli.out 2> cli.err \
    || { cat cli.err >&2; fail "the installed CLI's download failed"; }
expect_box cli-box
cmp -s stored.bin cli-box/software.bin || fail "the box stored another image than the CLI sent"

# The installed window, unattended, with /usr/bin read-only as it is for an operator.
window_with_read_only_programs() {
    mkdir -p config/vandrelux
    printf '[Setting]\nUpdateSoftware=1\nSoftwarePath=%s\n' "$work/sw.bin" \
        > config/vandrelux/Vandrelux.ini
    start_box window-box
    local status=0
    XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen timeout 120 unshare -m sh -c \
        'mount --bind -o ro "$1" "$1" && exec "$1/vandrelux" --com1 "$2" --exit-when-done' \
        sh "$bin" "$DEV" > window.out 2> window.err || status=$?
    [ "$status" = 0 ] || { cat window.err >&2; fail "the installed window: status $status"; }
    expect_box window-box
    cmp -s stored.bin window-box/software.bin || fail "the box stored another image than the window sent"
    [ ! -e "$bin/Vandrelux.ini" ] || fail "settings written beside the program"
    grep -q '^PortNum=1' config/vandrelux/Vandrelux.ini || fail "settings not saved in \$XDG_CONFIG_HOME"
}
if [ "$with_window" = 1 ]; then
    if unshare -m sh -c 'mount --bind -o ro "$1" "$1"' sh "$bin" 2> /dev/null; then
        window_with_read_only_programs
    else
        echo "skipped: the window with a read-only /usr/bin (no mount namespace here)"
    fi
fi

dpkg --root="$root" --log=/dev/null -r vandrelux > "$work/dpkg.out" 2>&1 \
    || { cat "$work/dpkg.out" >&2; fail "dpkg did not remove the package"; }
left=$(find "$root" -path "$root/var" -prune -o -type f -print)
[ -z "$left" ] || fail "removal left files behind: $left"
echo "package installs, runs and goes again"
