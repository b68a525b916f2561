#!/usr/bin/env bash
# A private PostgreSQL cluster for the line server's tests: initdb and pg_ctl in a folder of its
# own, a Unix socket in it, no TCP, no password (trust for the socket only).
#   pg-cluster.sh start DIR [PID]  makes and starts it; stops it and removes DIR once PID has
#                                  ended, however it ends (a test that crashed or was killed)
#   pg-cluster.sh stop DIR         stops it now and removes DIR
#   pg-cluster.sh pause DIR        stops the server, keeps its files; resume starts it again
# The superuser is `vandrelux`; connect with "host=DIR user=vandrelux dbname=postgres".
# PostgreSQL will not run as root: as root the cluster belongs to nobody.
set -euo pipefail

bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
command=$1 dir=$(realpath -m "$2")
# The cluster's owner may not enter the caller's folder.
cd /
as_owner() {
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
    else
        "$@"
    fi
}
server_start() {
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -k $dir" start > /dev/null
}
server_stop() {
    # A server whose processes a test stopped (a database that hangs) has to run to stop.
    local pid
    if pid=$(head -n 1 "$dir/data/postmaster.pid" 2> /dev/null); then
        kill -CONT "$pid" 2> /dev/null || true
        pkill -CONT -P "$pid" 2> /dev/null || true
    fi
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop > /dev/null 2>&1 || true
}

case $command in
start)
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown nobody:nogroup "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U vandrelux -A trust -E UTF8 --locale=C --no-sync --no-instructions \
        > "$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    server_start
    if [ -n "${3:-}" ]; then
        # The watch outlives this script and holds none of its caller's pipes.
        nohup setsid bash -c 'while kill -0 "$1" 2> /dev/null; do sleep 1; done; "$2" stop "$3"' \
            watch "$3" "$0" "$dir" > /dev/null 2>&1 < /dev/null &
    fi
    ;;
stop)
    if [ -d "$dir/data" ]; then
        server_stop
    fi
    rm -rf "$dir"
    ;;
pause) server_stop ;;
resume) server_start ;;
*) echo "usage: $0 start|stop|pause|resume DIR [PID]" >&2; exit 2 ;;
esac
