#!/bin/sh
# Runs a Windows program under Wine with the test PC/SC bridge
# (tools/winscard-bridge): the program's WinSCard calls reach the pcscd that
# PCSCLITE_CSOCK_NAME names (the system's when unset).
#
#   scripts/wine-run.sh PROGRAM.exe [ARGS]
#
# Builds the relay and WinSCard.dll into build-bridge/ when needed (or takes
# ZENTAVO_BRIDGE_RELAY and ZENTAVO_BRIDGE_DLL), uses the Wine prefix
# $WINEPREFIX (default ${XDG_CACHE_HOME:-~/.cache}/zentavo-wine) with the DLL
# in its system32 as the native winscard, starts the relay on a free loopback
# port and stops it afterwards. Exits with the program's exit code.
#
# The relay answers as the Windows Smart Card service does where it differs
# from pcsc-lite (see tools/winscard-bridge/relay.c) unless
# ZENTAVO_BRIDGE_RULES=pcsc-lite. With those rules:
#   ZENTAVO_BRIDGE_IDLE_RESET_MS  a transaction idle this long resets the card (5000)
#   ZENTAVO_BRIDGE_CONTROL        the relay's control socket: while the program
#                                 runs, `winscard-relay --send PATH hide|show READER`
#                                 unplugs a reader and plugs it back in
#   ZENTAVO_BRIDGE_HIDE           a reader hidden from the start
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "wine-run: $*" >&2; exit 125; }

[ $# -ge 1 ] || die "usage: $0 PROGRAM.exe [ARGS]"
[ -f "$1" ] || die "no program $1"
command -v wine >/dev/null || die "no wine (apt-get install wine wine64)"

build=${ZENTAVO_BRIDGE_BUILD:-$root/build-bridge}
bridge=$root/tools/winscard-bridge
# Incremental builds: a second or two when nothing changed.
build_part() { # DIR [CMAKE-ARGS]
    dir=$1; shift
    if ! { [ -f "$dir/CMakeCache.txt" ] || cmake -S "$bridge" -B "$dir" "$@"; } >"$build/$(basename "$dir").log" 2>&1 ||
        ! cmake --build "$dir" -j2 >>"$build/$(basename "$dir").log" 2>&1; then
        cat "$build/$(basename "$dir").log" >&2
        die "building $dir failed"
    fi
}
relay=${ZENTAVO_BRIDGE_RELAY:-}
dll=${ZENTAVO_BRIDGE_DLL:-}
mkdir -p "$build"
if [ -z "$relay" ]; then
    build_part "$build/linux"
    relay=$build/linux/winscard-relay
fi
if [ -z "$dll" ]; then
    command -v x86_64-w64-mingw32-gcc-posix >/dev/null || die "no mingw-w64 (apt-get install mingw-w64)"
    build_part "$build/windows" -DCMAKE_TOOLCHAIN_FILE="$bridge/mingw-w64.cmake"
    dll=$build/windows/bridge/WinSCard.dll
fi
[ -x "$relay" ] || die "no relay $relay"
[ -f "$dll" ] || die "no $dll"
rules=
case ${ZENTAVO_BRIDGE_RULES:-windows} in
windows) rules="--windows-rules --idle-reset-ms ${ZENTAVO_BRIDGE_IDLE_RESET_MS:-5000}" ;;
pcsc-lite) [ -z "${ZENTAVO_BRIDGE_CONTROL:-}${ZENTAVO_BRIDGE_HIDE:-}" ] ||
    die "ZENTAVO_BRIDGE_CONTROL and ZENTAVO_BRIDGE_HIDE need the Windows rules" ;;
*) die "ZENTAVO_BRIDGE_RULES is windows or pcsc-lite" ;;
esac

WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/zentavo-wine}
WINEDEBUG=-all
# Native winscard (ours); no Mono or Gecko installer prompts at prefix creation.
WINEDLLOVERRIDES="winscard=n;mscoree=;mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "wine-run: creating the Wine prefix $WINEPREFIX" >&2
    # wineboot's status is not to be trusted on a busy machine (seen failing
    # with the prefix made): judge by the prefix, try once more, show why.
    for try in 1 2; do
        wine wineboot --init >"$WINEPREFIX/wineboot.log" 2>&1 || true
        wineserver -w
        [ -f "$WINEPREFIX/system.reg" ] && [ -d "$WINEPREFIX/drive_c/windows/system32" ] && break
        [ "$try" = 2 ] && { cat "$WINEPREFIX/wineboot.log" >&2; die "wineboot failed in $WINEPREFIX"; }
        wineserver -k 2>/dev/null || true
    done
fi
system32=$WINEPREFIX/drive_c/windows/system32
[ -d "$system32" ] || die "no $system32: not a 64-bit prefix?"
# Over Wine's built-in stub, so the program's own folder stays untouched.
cmp -s "$dll" "$system32/winscard.dll" || cp "$dll" "$system32/winscard.dll"

run=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
relay_pid=
cleanup() {
    if [ -n "$relay_pid" ]; then
        kill "$relay_pid" 2>/dev/null || true
        wait "$relay_pid" 2>/dev/null || true
    fi
    rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Port 0: the relay takes a free one and writes it down. It also ends by
# itself if this script dies without stopping it.
"$relay" --port 0 --port-file "$run/port" --parent-pid $$ ${ZENTAVO_BRIDGE_VERBOSE:+--verbose} $rules \
    ${ZENTAVO_BRIDGE_CONTROL:+--control "$ZENTAVO_BRIDGE_CONTROL"} \
    ${ZENTAVO_BRIDGE_HIDE:+--hide "$ZENTAVO_BRIDGE_HIDE"} >"$run/relay.out" &
relay_pid=$!
tries=0
until [ -s "$run/port" ]; do
    kill -0 "$relay_pid" 2>/dev/null || die "the relay ended at start"
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || die "the relay did not start within 5 s"
    sleep 0.05
done
ZENTAVO_WINSCARD_BRIDGE_PORT=$(cat "$run/port")
ZENTAVO_WINSCARD_BRIDGE_RELAY_PID=$relay_pid
export ZENTAVO_WINSCARD_BRIDGE_PORT ZENTAVO_WINSCARD_BRIDGE_RELAY_PID

status=0
wine "$@" || status=$?
exit "$status"
