#!/bin/sh
# A private pcscd with the vpcd virtual reader, beside (not instead of) any
# system pcscd and without root: a user+mount namespace gives it its own
# /run/pcscd and an empty driver directory, so it sees no USB reader.
#
#   pcscd-bench.sh start DIR PORT [ENTRIES]  start in the background, wait for the readers
#                                            (PORT "auto": a free one, written to DIR/port)
#   pcscd-bench.sh run DIR PORT [ENTRIES]    same set-up, pcscd in the foreground (exec)
#   pcscd-bench.sh supervise DIR PORT [ENTRIES]  pcscd runs until this script's stdin ends
#   pcscd-bench.sh stop DIR                  kill and wait for it
#   pcscd-bench.sh status DIR                exit 0 when running and holding its reader ports
#
# Clients use PCSCLITE_CSOCK_NAME=DIR/sock/pcscd.comm. Each ENTRY (default 1)
# gives two readers on ports PORT+2k and PORT+2k+1: "Virtual PCD 00 00" and
# "Virtual PCD 00 01" for the first, "Virtual PCD k 00 00" and "... 00 01" after.
# PCSCD_BENCH_NAME replaces "Virtual PCD" (e.g. a non-ASCII name).
set -eu

PCSCD=${PCSCD:-/usr/sbin/pcscd}
VPCD_LIB=${VPCD_LIB:-/usr/lib/pcsc/drivers/serial/libifdvpcd.so.0.8}

die() { echo "pcscd-bench: $*" >&2; exit 1; }

# Succeeds when something listens on TCP port $1 (any address).
port_listening() {
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q .
}

# An even port whose block of 2*ENTRIES ports nobody listens on.
free_port() {
    n=$((2 * $1))
    while :; do
        p=$(( ( $(od -An -N2 -tu2 /dev/urandom) % 15000 ) * 2 + 20000 ))
        k=0 busy=0
        while [ "$k" -lt "$n" ]; do
            port_listening $((p + k)) && busy=1
            k=$((k + 1))
        done
        [ "$busy" = 0 ] && echo "$p" && return
    done
}

prepare() {
    dir=$1 port=$2 entries=$3
    [ "$port" = auto ] && port=$(free_port "$entries")
    [ -x "$PCSCD" ] || die "no $PCSCD (package pcscd)"
    [ -r "$VPCD_LIB" ] || die "no $VPCD_LIB (package vsmartcard-vpcd)"
    mkdir -p "$dir/sock"
    dir=$(cd "$dir" && pwd)
    : > "$dir/reader.conf"
    k=0
    while [ "$k" -lt "$entries" ]; do
        p=$((port + 2 * k))
        # vpcd silently drops a reader whose port is taken.
        for q in "$p" $((p + 1)); do
            port_listening "$q" && die "port $q is in use"
        done
        # pcscd numbers same-named entries alike: give each its own name.
        name=${PCSCD_BENCH_NAME:-Virtual PCD}
        [ "$k" -gt 0 ] && name="$name $k"
        # One copy of the driver per entry: entries that share a copy share
        # its state too, and all follow the last entry's ports.
        cp "$VPCD_LIB" "$dir/libifdvpcd$k.so"
        printf 'FRIENDLYNAME "%s"\nDEVICENAME /dev/null:%s\nLIBPATH %s\n\n' \
            "$name" "$p" "$dir/libifdvpcd$k.so" >> "$dir/reader.conf"
        k=$((k + 1))
    done
    echo "$port" > "$dir/port"
    echo "$entries" > "$dir/entries"
}

namespaces() {
    # Root without user namespaces (some CI containers): a mount namespace is enough.
    if [ "$(id -u)" = 0 ] && ! unshare --user --map-root-user true 2>/dev/null; then
        echo "--mount"
    else
        echo "--user --map-root-user --mount"
    fi
}

# Replaces the shell with pcscd inside the namespaces, so the PID stays pcscd's.
exec_pcscd() {
    dir=$(cd "$1" && pwd)
    # shellcheck disable=SC2046
    exec unshare $(namespaces) sh -c '
        mount -t tmpfs tmpfs /run && mkdir /run/pcscd &&
        mount --bind "$0/sock" /run/pcscd &&
        mount -t tmpfs tmpfs /usr/lib/pcsc/drivers &&
        exec "$1" --foreground --config "$0/reader.conf"' "$dir" "$PCSCD"
}

# pcscd as the child of a shell that lives as long as its stdin: end of input
# (the caller closed it, or died) kills pcscd and reaps it. The caller must
# not give this shell a parent-death signal: it would die alone, orphaning pcscd.
supervise_pcscd() {
    dir=$(cd "$1" && pwd)
    # shellcheck disable=SC2046
    exec unshare $(namespaces) sh -c '
        mount -t tmpfs tmpfs /run && mkdir /run/pcscd &&
        mount --bind "$0/sock" /run/pcscd &&
        mount -t tmpfs tmpfs /usr/lib/pcsc/drivers || exit 1
        "$1" --foreground --config "$0/reader.conf" &
        pid=$!
        trap "kill \$pid 2>/dev/null" TERM INT
        while read -r _; do :; done
        kill $pid 2>/dev/null
        wait $pid' "$dir" "$PCSCD"
}

# Alive and not a zombie (an orphan is reaped by PID 1, which in some
# containers never does it).
alive() {
    kill -0 "$1" 2>/dev/null || return 1
    state=$(sed 's/^.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
    [ "$state" != Z ]
}

is_running() {
    [ -f "$1/pcscd.pid" ] || return 1
    pid=$(cat "$1/pcscd.pid")
    [ -n "$pid" ] && alive "$pid"
}

case "${1:-}" in
supervise)
    [ $# -ge 3 ] || die "usage: $0 supervise DIR PORT [ENTRIES]"
    prepare "$2" "$3" "${4:-1}"
    supervise_pcscd "$2"
    ;;
run)
    [ $# -ge 3 ] || die "usage: $0 run DIR PORT [ENTRIES]"
    prepare "$2" "$3" "${4:-1}"
    exec_pcscd "$2"
    ;;
start)
    [ $# -ge 3 ] || die "usage: $0 start DIR PORT|auto [ENTRIES]"
    dir=$2 port=$3 entries=${4:-1}
    is_running "$dir" && die "already running (pid $(cat "$dir/pcscd.pid"))"
    prepare "$dir" "$port" "$entries"
    dir=$(cd "$dir" && pwd)
    port=$(cat "$dir/port")
    rm -f "$dir/sock/pcscd.comm"
    ( exec_pcscd "$dir" ) > "$dir/pcscd.log" 2>&1 &
    echo $! > "$dir/pcscd.pid"
    # Ready when the socket is there and vpcd listens on every port.
    tries=0
    while :; do
        ready=1
        [ -S "$dir/sock/pcscd.comm" ] || ready=0
        k=0
        while [ "$ready" = 1 ] && [ "$k" -lt $((2 * entries)) ]; do
            port_listening $((port + k)) || ready=0
            k=$((k + 1))
        done
        [ "$ready" = 1 ] && break
        if ! is_running "$dir"; then
            cat "$dir/pcscd.log" >&2
            die "pcscd ended during start-up"
        fi
        tries=$((tries + 1))
        if [ "$tries" -ge 100 ]; then
            "$0" stop "$dir"
            die "readers did not appear within 10 s"
        fi
        sleep 0.1
    done
    echo "PCSCLITE_CSOCK_NAME=$dir/sock/pcscd.comm"
    ;;
stop)
    [ $# -ge 2 ] || die "usage: $0 stop DIR"
    dir=$2
    [ -f "$dir/pcscd.pid" ] || exit 0
    pid=$(cat "$dir/pcscd.pid")
    if alive "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        tries=0
        while alive "$pid"; do
            tries=$((tries + 1))
            [ "$tries" -eq 30 ] && kill -KILL "$pid" 2>/dev/null || true
            [ "$tries" -ge 60 ] && die "pcscd $pid did not end"
            sleep 0.1
        done
    fi
    rm -f "$dir/pcscd.pid"
    ;;
status)
    [ $# -ge 2 ] || die "usage: $0 status DIR"
    if ! is_running "$2"; then
        echo "not running"
        exit 1
    fi
    pid=$(cat "$2/pcscd.pid") port=$(cat "$2/port") entries=$(cat "$2/entries")
    # Every reader's port must be held by this pcscd, not by someone else.
    k=0
    while [ "$k" -lt $((2 * entries)) ]; do
        ss -Hltnp "sport = :$((port + k))" 2>/dev/null | grep -q "pid=$pid," ||
            { echo "running (pid $pid) but port $((port + k)) is not its reader"; exit 1; }
        k=$((k + 1))
    done
    echo "running (pid $pid), ports $port-$((port + 2 * entries - 1)), PCSCLITE_CSOCK_NAME=$(cd "$2" && pwd)/sock/pcscd.comm"
    ;;
*)
    die "usage: $0 start DIR PORT [ENTRIES] | run DIR PORT [ENTRIES] | stop DIR | status DIR"
    ;;
esac
