#!/usr/bin/env bash
# Installs this build's Debian packages with dpkg into a fresh root, as on an operator's machine:
# vandrelux-cli alone first, as on a station PC, then the line server's vandrelux-line and the
# window's vandrelux. Checks what each holds and needs (the headless programs no Qt), then runs
# what they installed: --help and --version, a download from the installed CLI to the installed
# box simulator, the station as its systemd unit starts it, the line server as its unit starts
# it, storing that station's unit in a PostgreSQL cluster of the test's own, and the installed
# window with /usr/bin read-only, whose settings must then go to $XDG_CONFIG_HOME. Purging the packages must leave none of their files.
# Usage: deb.sh BUILD_DIR VERSION WITH_WINDOW(0|1)
set -euo pipefail

build=$1 version=$2 with_window=$3
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
box_pid="" station_pid="" line_pid=""
pgdir=$(mktemp -d -u /tmp/vandrelux-deb-pg.XXXXXX)
pg_cluster="$(cd "$(dirname "$0")/../line" && pwd)/pg-cluster.sh"
cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
    [ -n "$station_pid" ] && kill -KILL "$station_pid" 2>/dev/null || true
    [ -n "$line_pid" ] && kill -KILL "$line_pid" 2>/dev/null || true
    "$pg_cluster" stop "$pgdir" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

packages=(vandrelux-cli vandrelux-line)
[ "$with_window" = 1 ] && packages+=(vandrelux)
declare -A deb depends
for package in "${packages[@]}"; do
    deb[$package]="$build/${package}_${version}_$arch.deb"
    [ -f "${deb[$package]}" ] || fail "no package at ${deb[$package]}"
    [ "$(dpkg-deb -f "${deb[$package]}" Package)" = "$package" ] || fail "$package: package name"
    [ "$(dpkg-deb -f "${deb[$package]}" Version)" = "$version" ] || fail "$package: version"
    depends[$package]=$(dpkg-deb -f "${deb[$package]}" Depends)
done
if [ "$with_window" = 1 ]; then
    window_depends=$(tr ',' '\n' <<< "${depends[vandrelux]}" | sed 's/^ //')
    grep -qxF "vandrelux-cli (= $version)" <<< "$window_depends" \
        || fail "the window's package takes no vandrelux-cli of its version: ${depends[vandrelux]}"
    grep -qx fonts-wqy-microhei <<< "$window_depends" \
        || fail "the window's package lacks its font: ${depends[vandrelux]}"
fi
# The package names a Depends field lists, one a line.
names_of() { tr ',|' '\n\n' <<< "$1" | sed 's/(.*)//; s/:any//' | tr -d ' ' | sort -u; }
! grep -qi qt <<< "${depends[vandrelux-cli]}" \
    || fail "vandrelux-cli depends on Qt: ${depends[vandrelux-cli]}"

# The root's dpkg knows only the packages the Depends name, as this machine has them, so an
# unsatisfiable Depends fails the installation.
root="$work/root"
admin="$root/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: > "$admin/status"
known=" vandrelux-cli "
# Installs a package into the root. Its maintainer scripts run outside it (dpkg would chroot into
# a root that has no shell) and act on $DPKG_ROOT, as on a real system on /.
install_package() {
    local dependency name
    for dependency in $(names_of "${depends[$1]}"); do
        [[ "$known" == *" $dependency "* ]] && continue
        known+="$dependency "
        dpkg-query -s "$dependency" >> "$admin/status" 2>/dev/null \
            || fail "$dependency is not installed here"
        echo >> "$admin/status"
        for name in $(dpkg-query -W -f='${binary:Package}\n' "$dependency"); do
            : > "$admin/info/$name.list"
        done
    done
    dpkg --root="$root" --force-script-chrootless --log=/dev/null -i "${deb[$1]}" \
        > "$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "dpkg did not install $1"; }
}
# Fails unless PACKAGE installed exactly the files after it.
expect_files() {
    local package=$1
    shift
    local listed
    listed=$(dpkg --root="$root" -L "$package" | while read -r f; do
        [ -f "$root$f" ] && echo "$f"; done | sort)
    diff <(printf '%s\n' "$@" | sort) <(echo "$listed") \
        || fail "$package: its files differ from the list (< missing, > unexpected)"
}
# The package that holds a file, whichever of the merged /usr paths dpkg knows it by.
owner_of() {
    { dpkg -S "$1" || dpkg -S "${1#/usr}" || dpkg -S "/usr$1"; } 2>/dev/null | head -n 1 | cut -d: -f1
}
# Every library the programs of PACKAGE load themselves comes from a package its Depends names.
expect_libraries_from_depends() {
    local package=$1 program library path owner
    for program in $(dpkg --root="$root" -L "$package" | grep '^/usr/bin/'); do
        for library in $(objdump -p "$root$program" | awk '$1 == "NEEDED" {print $2}'); do
            path=$(ldd "$root$program" | awk -v l="$library" '$1 == l {print $3}')
            owner=$(owner_of "$path")
            [ -n "$owner" ] || fail "no package here holds $library ($path)"
            names_of "${depends[$package]}" | grep -qxF "$owner" \
                || fail "$program needs $library from $owner, not in Depends (${depends[$package]})"
            [ "$package" != vandrelux-cli ] || [[ "$library" != libQt* ]] \
                || fail "$program of the headless package needs $library"
        done
    done
}

install_package vandrelux-cli
expect_files vandrelux-cli /usr/bin/vandrelux-cli /usr/bin/vandrelux-boxsim \
    /usr/share/man/man1/vandrelux-cli.1 /usr/share/bash-completion/completions/vandrelux-cli \
    /usr/lib/systemd/system/vandrelux-station.service /usr/lib/sysusers.d/vandrelux-cli.conf \
    /etc/vandrelux/station.conf /etc/logrotate.d/vandrelux-cli \
    /usr/share/doc/vandrelux-cli/README.Debian /usr/share/doc/vandrelux-cli/copyright
expect_libraries_from_depends vandrelux-cli
conffiles=$(dpkg-query --admindir="$admin" -W -f='${Conffiles}\n' vandrelux-cli | awk 'NF {print $1}')
diff <(printf '%s\n' /etc/logrotate.d/vandrelux-cli /etc/vandrelux/station.conf) \
    <(sort <<< "$conffiles") \
    || fail "the configuration files are not conffiles, which an upgrade would overwrite"
grep -q dialout "$root/usr/share/doc/vandrelux-cli/README.Debian" || fail "no word on dialout"
grep -q '^vandrelux:' "$root/etc/passwd" || fail "no account for the station"
[ -d "$root/var/log/vandrelux" ] || fail "no folder for the units log"
install_package vandrelux-line
expect_files vandrelux-line /usr/bin/vandrelux-line /usr/share/man/man1/vandrelux-line.1 \
    /usr/lib/systemd/system/vandrelux-line.service /usr/lib/sysusers.d/vandrelux-line.conf \
    /etc/vandrelux/line.conf \
    /usr/share/doc/vandrelux-line/README.Debian /usr/share/doc/vandrelux-line/copyright
expect_libraries_from_depends vandrelux-line
names_of "${depends[vandrelux-line]}" | grep -qx libpq5 \
    || fail "vandrelux-line does not depend on libpq5: ${depends[vandrelux-line]}"
[ "$(dpkg-query --admindir="$admin" -W -f='${Conffiles}\n' vandrelux-line | awk 'NF {print $1}')" \
    = /etc/vandrelux/line.conf ] || fail "line.conf is not a conffile"
grep -q '^vandrelux-line:' "$root/etc/passwd" || fail "no account for the line server"
if [ "$with_window" = 1 ]; then
    install_package vandrelux
    expect_files vandrelux /usr/bin/vandrelux /usr/share/applications/vandrelux.desktop \
        /usr/share/icons/hicolor/scalable/apps/vandrelux.svg \
        /usr/share/doc/vandrelux/README.Debian /usr/share/doc/vandrelux/copyright
    expect_libraries_from_depends vandrelux
fi

bin="$root/usr/bin"
"$bin/vandrelux-cli" --help > "$work/help.txt" || fail "vandrelux-cli --help failed"
grep -q -- --port "$work/help.txt" || fail "--help names no --port"
programs=(vandrelux-cli vandrelux-boxsim vandrelux-line)
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

# A unit as systemd reads it. systemd-analyze verify wants the programs a unit runs where the
# unit names them, and --root would want all of systemd's own units in the root too, so a copy of
# the unit that runs the root's program is verified against this machine's systemd. Sets UNIT to
# the root's unit NAME.service and COMMAND to its command line, with every absolute path in it
# taken inside the root.
verified_unit() {
    local status=0 i
    UNIT="$root/usr/lib/systemd/system/$1.service"
    mkdir -p units
    sed "s|^ExecStart=/|ExecStart=$root/|" "$UNIT" > "units/$1.service"
    MANPATH="$root/usr/share/man" systemd-analyze verify "units/$1.service" \
        > verify.out 2>&1 || status=$?
    # It warns of unknown keys and the like without failing.
    [ "$status" = 0 ] && [ ! -s verify.out ] \
        || { cat verify.out >&2; fail "systemd-analyze verify finds fault with $1.service"; }
    [ "$(grep -c '^ExecStart=' "$UNIT")" = 1 ] || fail "$1.service has not one ExecStart"
    read -ra COMMAND <<< "$(sed -n 's/^ExecStart=//p' "$UNIT")"
    for i in "${!COMMAND[@]}"; do
        if [[ "${COMMAND[$i]}" == /* ]]; then
            COMMAND[i]="$root${COMMAND[$i]}"
        fi
    done
}
verified_unit vandrelux-station
unit=$UNIT
station=("${COMMAND[@]}")
conf="$root/etc/vandrelux/station.conf"
[[ " ${station[*]} " == *" $conf "* ]] || fail "the unit does not read station.conf: ${station[*]}"
for option in $(grep -E '^#? ?[a-z-]+ = ' "$conf" | sed -E 's/^# ?//; s/ = .*//'); do
    grep -q -- "--$option\b" help.txt || fail "station.conf names --$option, which --help does not"
done

# As shipped, the station names no ports and no files: it must fail at once, with the status on
# which the unit does not start it again.
status=0
timeout 10 "${station[@]}" > station.out 2> station.err || status=$?
grep -qx "RestartPreventExitStatus=$status" "$unit" \
    || fail "shipped station.conf: status $status, which the unit restarts on; $(cat station.err)"
[ -s station.err ] || fail "the shipped station.conf: the station does not say what is missing"

# Named as an operator would, from the shipped examples, the station updates a box and stops on
# SIGTERM, its unit recorded.
start_box station-box
set_option() {
    grep -Eq "^(# )?$1 = " "$conf" || fail "station.conf shows no $1"
    sed -i -E "s|^(# )?$1 = .*|$1 = $2|" "$conf"
}
set_option port "[\"$DEV\"]"
set_option software "\"$work/sw.bin\""
set_option units-log "\"$work/units.jsonl\""
"${station[@]}" > station.out 2> station.err &
station_pid=$!
expect_box station-box
cmp -s stored.bin station-box/software.bin || fail "the box stored another image than the station"
for _ in $(seq 1 100); do
    [ -s units.jsonl ] && break
    sleep 0.1
done
kill -TERM "$station_pid"
timeout 30 tail --pid="$station_pid" -f /dev/null || fail "the station did not stop on SIGTERM"
status=0
wait "$station_pid" || status=$?
station_pid=""
[ "$status" = 0 ] || { cat station.err >&2; fail "the station ended with status $status"; }
[ "$(grep -c . units.jsonl)" = 1 ] && grep -q '"outcome":"ok"' units.jsonl \
    || fail "units log: $(cat units.jsonl 2>/dev/null) $(cat station.err)"

# The rotation rule, with its folder this test's, as logrotate reads it.
sed "s|^/var/log/vandrelux/|$work/|" "$root/etc/logrotate.d/vandrelux-cli" > logrotate.conf
status=0
logrotate --debug --state logrotate.state logrotate.conf > logrotate.out 2>&1 || status=$?
# It reports an unknown word in the rule as an error and goes on.
[ "$status" = 0 ] && ! grep -qi '^error' logrotate.out \
    || { cat logrotate.out >&2; fail "logrotate refuses the rule"; }

# The line server's unit, verified and run as the station's was, against a PostgreSQL of its own
# and the station above serving its units log.
verified_unit vandrelux-line
line_unit=$UNIT
line=("${COMMAND[@]}")
line_conf="$root/etc/vandrelux/line.conf"
[[ " ${line[*]} " == *" $line_conf "* ]] || fail "the line's unit does not read line.conf"
"$bin/vandrelux-line" --help > line-help.txt || fail "vandrelux-line --help failed"
for option in $(grep -E '^#? ?[a-z-]+ = ' "$line_conf" | sed -E 's/^# ?//; s/ = .*//'); do
    grep -q -- "--$option\b" line-help.txt || fail "line.conf names --$option, which --help does not"
done
# As shipped it names no station: it must fail at once, with the status that is not restarted.
status=0
timeout 10 "${line[@]}" > line.out 2> line.err || status=$?
grep -qx "RestartPreventExitStatus=$status" "$line_unit" \
    || fail "shipped line.conf: status $status, which the unit restarts on; $(cat line.err)"

"$pg_cluster" start "$pgdir" $$
set_option http '"127.0.0.1:0"'
"${station[@]}" > station.out 2> station.err &
station_pid=$!
station_url=""
for _ in $(seq 1 100); do
    station_url=$(grep -o 'http://127\.0\.0\.1:[0-9]*' station.err || true)
    [ -n "$station_url" ] && break
    sleep 0.1
done
[ -n "$station_url" ] || fail "the station serves no API: $(cat station.err)"
sed -i -E "s|^db = .*|db = \"host=$pgdir user=vandrelux dbname=postgres\"|" "$line_conf"
sed -i -E "s|^# station = .*|station = [\"$station_url\"]|" "$line_conf"
"${line[@]}" > line.out 2> line.err &
line_pid=$!
stored=""
for _ in $(seq 1 100); do
    stored=$(psql -X -At "host=$pgdir user=vandrelux dbname=postgres" \
        -c "SELECT outcome FROM units" 2> /dev/null || true)
    [ -n "$stored" ] && break
    sleep 0.1
done
[ "$stored" = ok ] || fail "the line server stored no unit: $(cat line.err)"
kill -TERM "$line_pid" "$station_pid"
for pid in "$line_pid" "$station_pid"; do
    timeout 30 tail --pid="$pid" -f /dev/null || fail "$pid did not stop on SIGTERM"
done
status=0
wait "$line_pid" || status=$?
line_pid=""
wait "$station_pid" || true
station_pid=""
[ "$status" = 0 ] || fail "the line server ended with status $status: $(cat line.err)"
"$pg_cluster" stop "$pgdir"

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

dpkg --root="$root" --force-script-chrootless --log=/dev/null -P "${packages[@]}" \
    > "$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "dpkg did not purge the packages"; }
# The accounts stay, as system accounts do (with the copies systemd-sysusers keeps of the files
# it changed); so does the units log under /var.
left=$(find "$root" -path "$root/var" -prune -o -type f -print \
    | grep -Ev "^$root/etc/(passwd|group|shadow|gshadow)-?$|^$root/etc/\.pwd\.lock$" || true)
[ -z "$left" ] || fail "purging left files behind: $left"
echo "packages install, run and go again"
