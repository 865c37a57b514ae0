#!/bin/sh
# Tests the Wine PC/SC bridge end to end: a private pcscd with two virtual
# readers with a non-ASCII name, a simulated card in one, the other empty;
# tools/winscard-bridge/bridge_test.c built for Windows and run under Wine by
# scripts/wine-run.sh, once passing pcsc-lite's answers through, once with the
# relay's Windows service rules (an idle transaction's reset, readers hidden
# and shown through the relay's control socket); the same transmit timed from
# a Linux client beside it.
#
#   scripts/test-wine-bridge.sh [BUILD-DIR]   (default build/, which must hold
#                                              tools/tachosim and the relay)
# Exit 0 when every check passed. CTest runs it when wine and mingw-w64 are there.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${ZENTAVO_BUILD_DIR:-$root/build}}" && pwd)
tachosim=$build/tools/tachosim
relay=$build/tools/winscard-bridge/winscard-relay
timing=$build/tools/winscard-bridge/transmit-timing
for f in "$tachosim" "$relay" "$timing"; do
    [ -x "$f" ] || { echo "test-wine-bridge: no $f (build the project first)" >&2; exit 1; }
done

work=$build/wine-bridge
mkdir -p "$work"
# The Windows side, cross-built on its own (the project's build is Linux).
if ! { [ -f "$work/windows/CMakeCache.txt" ] ||
    cmake -S "$root/tools/winscard-bridge" -B "$work/windows" \
        -DCMAKE_TOOLCHAIN_FILE="$root/tools/winscard-bridge/mingw-w64.cmake"; } >"$work/windows.log" 2>&1 ||
    ! cmake --build "$work/windows" -j2 >>"$work/windows.log" 2>&1; then
    cat "$work/windows.log" >&2
    exit 1
fi

bench=$(mktemp -d "${TMPDIR:-/tmp}/wine-bridge.XXXXXX")
sims=
cleanup() {
    for pid in $sims; do kill "$pid" 2>/dev/null || true; done
    for pid in $sims; do wait "$pid" 2>/dev/null || true; done
    sh "$root/scripts/pcscd-bench.sh" stop "$bench" || true
    rm -rf "$bench"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

name="Считыватель"
PCSCD_BENCH_NAME=$name sh "$root/scripts/pcscd-bench.sh" start "$bench" auto >/dev/null
PCSCLITE_CSOCK_NAME=$bench/sock/pcscd.comm
export PCSCLITE_CSOCK_NAME
port=$(cat "$bench/port")
"$tachosim" --port "$port" </dev/null >"$bench/sim0.log" 2>&1 &
sims="$!"
"$tachosim" --port $((port + 1)) --removed --control "$bench/sim1.ctl" </dev/null >"$bench/sim1.log" 2>&1 &
sims="$sims $!"

# The card is in once pcscd lists its ATR; the Linux client needs it too.
tries=0
until "$timing" "$name 00 00" 1 >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -lt 50 ] || { echo "test-wine-bridge: the simulated card did not appear" >&2; cat "$bench/sim0.log" >&2; exit 1; }
    sleep 0.1
done
"$timing" "$name 00 00" 200

# Alone in its folder, so Wine takes the DLL from the prefix, as for the program.
mkdir -p "$work/run"
cp "$work/windows/bridge/bridge_test.exe" "$work/run/"

hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
ZENTAVO_TEST_READER_HEX=$(hex "$name 00 00")
ZENTAVO_TEST_EMPTY_READER_HEX=$(hex "$name 00 01")
ZENTAVO_TEST_INSERT="$tachosim --send $bench/sim1.ctl insert"
ZENTAVO_TEST_SKZI=SKZI000000000001
# Short, so that the idle checks take seconds, not tens of them; in both
# runs, so that rules leaking into the pass-through would show.
ZENTAVO_TEST_IDLE_MS=600
ZENTAVO_BRIDGE_IDLE_RESET_MS=$ZENTAVO_TEST_IDLE_MS
ZENTAVO_BRIDGE_RELAY=$relay
ZENTAVO_BRIDGE_DLL=$work/windows/bridge/WinSCard.dll
WINEPREFIX=${WINEPREFIX:-$work/prefix}
export ZENTAVO_TEST_READER_HEX ZENTAVO_TEST_EMPTY_READER_HEX ZENTAVO_TEST_INSERT ZENTAVO_TEST_SKZI \
    ZENTAVO_TEST_IDLE_MS ZENTAVO_BRIDGE_IDLE_RESET_MS ZENTAVO_BRIDGE_RELAY ZENTAVO_BRIDGE_DLL WINEPREFIX
status=0
echo "== pcsc-lite's answers passed through"
ZENTAVO_BRIDGE_RULES=pcsc-lite sh "$root/scripts/wine-run.sh" "$work/run/bridge_test.exe" || status=1

echo "== the Windows service's rules"
# The test program unplugs readers and plugs them back in through this, which
# keeps the non-ASCII reader names out of a Windows command line.
cat >"$bench/readers.sh" <<EOF
#!/bin/sh
send() { "$relay" --send "$bench/relay.ctl" "\$@"; }
case \$1 in
hide-card) send hide "$name 00 00" ;;
hide-empty) send hide "$name 00 01" ;;
show-both) send show "$name 00 00" && send show "$name 00 01" ;;
esac
EOF
ZENTAVO_BRIDGE_RULES=windows \
ZENTAVO_BRIDGE_CONTROL=$bench/relay.ctl ZENTAVO_TEST_READERS="/bin/sh $bench/readers.sh" \
    sh "$root/scripts/wine-run.sh" "$work/run/bridge_test.exe" --windows-rules || status=1
exit "$status"
