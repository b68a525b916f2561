#!/usr/bin/env bash
# The Windows packages under Wine, as an operator meets them: the zip holds the two programs,
# the README and the licence; the installer, run silently, installs per machine into the folder
# after /D= and per user into the user's own programs folder, each with its Start-menu entry and
# its registration; the installed CLI answers --help and --version, the installed window sends a
# file to the box simulator on COM1; and each uninstaller leaves no folder, entry or key behind.
# Usage (under xvfb-run): windows.sh BUILD_DIR VERSION, with BOXSIM naming the Linux box.
set -euo pipefail

build=$(cd "$1" && pwd) version=$2
: "${BOXSIM:?}"
here=$(cd "$(dirname "$0")" && pwd)
zip="$build/Vandrelux-$version-win64.zip"
installer="$build/Vandrelux-$version-win64-setup.exe"
work=$(mktemp -d)
box_pid=""
cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -f "$zip" ] || fail "no zip at $zip"
[ -f "$installer" ] || fail "no installer at $installer"
diff <(printf "Vandrelux-$version-win64/%s\n" LICENSE.txt README.md vandrelux-cli.exe \
           vandrelux.exe | sort) \
     <(unzip -Z1 "$zip" | grep -v '/$' | sort) \
    || fail "the zip's files differ from the list above (< missing, > unexpected)"

# Wine starts only files that may be executed, which makensis does not mark its output as.
install -m 755 "$installer" "$work/setup.exe"
installer="$work/setup.exe"

. "$here/../wine/wine-env.sh" "$build"
# Shortcuts made under Wine would otherwise become menu entries of this machine's desktop.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
wine_session_for_this_display
wine_prefix_ready
drive_c="$WINEPREFIX/drive_c"
# Wine names the Windows user after the Unix one.
user_folder="$drive_c/users/$(id -un)"
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Vandrelux'

# Waits, boundedly, for the uninstaller, which copies itself away and returns at once.
wait_until_gone() {
    for _ in $(seq 1 600); do
        [ ! -e "$1" ] && return 0
        sleep 0.1
    done
    fail "$1 is still there after uninstalling: $(ls -A "$1")"
}

registered_version() {
    wine_run reg query "$1\\$uninstall_key" /v DisplayVersion 2>/dev/null | tr -d '\r' \
        | awk '$1 == "DisplayVersion" {print $3}'
}

# ---- per machine, into the folder after /D= ----
# Wine quotes an argument with a blank, and a quoted /D= is no longer one.
folder="$work/programs/Vandrelux"
wine_run "$installer" /S /AllUsers "/D=Z:${folder//\//\\}" > /dev/null \
    || fail "the installer failed"
for f in vandrelux.exe vandrelux-cli.exe README.md LICENSE.txt Uninstall.exe; do
    [ -f "$folder/$f" ] || fail "no $f in the installed folder"
done
machine_link="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Vandrelux.lnk"
[ -f "$machine_link" ] || fail "no Start-menu entry for every user"
[ "$(registered_version HKLM)" = "$version" ] || fail "not registered for every user"

wine_run "$folder/vandrelux-cli.exe" --help > "$work/help.txt" || fail "vandrelux-cli.exe --help"
grep -q -- --port "$work/help.txt" || fail "--help names no --port"
for program in vandrelux-cli vandrelux; do
    [ "$(wine_run "$folder/$program.exe" --version | tr -d '\r')" = "$program $version" ] \
        || fail "$program.exe --version"
done

# The installed window sends one file, unattended, to a new box on COM1 that stores it in OUT.
window_sends_to_box() {
    local out=$1 status=0
    "$BOXSIM" --timeout 120 --report "$out.json" accept --out "$out" > "$out.out" 2> "$out.err" &
    box_pid=$!
    DEV=""
    for _ in $(seq 1 100); do
        DEV=$(head -n 1 "$out.out" 2>/dev/null || true)
        [ -n "$DEV" ] && break
        sleep 0.05
    done
    [ -n "$DEV" ] || { cat "$out.err" >&2; fail "the box printed no device"; }
    wine_claim_com1 "$DEV"
    wine_run "$folder/vandrelux.exe" --exit-when-done > "$out.window" 2> "$out.window.err" || status=$?
    [ "$status" = 0 ] || { cat "$out.window.err" >&2; fail "the installed window: status $status"; }
    wait "$box_pid" || status=$?
    box_pid=""
    [ "$status" = 0 ] || { cat "$out.err" >&2; fail "box: status $status"; }
    cmp -s stored.bin "$out/software.bin" || fail "the box stored another image than the window sent"
}

cd "$work"
head -c 20001 /dev/urandom > sw.bin
{ cat sw.bin; printf '\0'; } > stored.bin
printf '[Setting]\r\nUpdateSoftware=1\r\nSoftwarePath=%s\r\n' "$work/sw.bin" > "$folder/Vandrelux.ini"
window_sends_to_box beside
grep -q '^PortNum=1' "$folder/Vandrelux.ini" || fail "the window did not save its settings beside it"

wine_run "$folder/Uninstall.exe" /S || fail "the uninstaller failed"
wait_until_gone "$folder"
[ ! -e "$machine_link" ] || fail "the Start-menu entry is still there"
[ -z "$(registered_version HKLM)" ] || fail "still registered for every user"

# ---- per user, into the user's own programs folder ----
user_programs="$user_folder/AppData/Local/Programs/Vandrelux"
rm -rf "$user_programs"
wine_run "$installer" /S /CurrentUser > /dev/null || fail "the per-user installer failed"
[ -f "$user_programs/vandrelux.exe" ] || fail "nothing installed in $user_programs"
user_link="$user_folder/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Vandrelux.lnk"
[ -f "$user_link" ] || fail "no Start-menu entry for the user"
[ "$(registered_version HKCU)" = "$version" ] || fail "not registered for the user"
[ -z "$(registered_version HKLM)" ] || fail "a per-user install registered for every user"
wine_run "$user_programs/Uninstall.exe" /S || fail "the per-user uninstaller failed"
wait_until_gone "$user_programs"
[ ! -e "$user_link" ] || fail "the user's Start-menu entry is still there"
[ -z "$(registered_version HKCU)" ] || fail "still registered for the user"
echo "zip, installs per machine and per user, runs and uninstalls"
