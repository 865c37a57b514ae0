#!/usr/bin/env bash
# Runs the program against a simulated tachograph card: a private pcscd with
# the vpcd virtual reader, the tachosim card inserted in it, then build/zentavo
# talking to that pcscd. Everything stops when the program exits.
#
#   scripts/demo.sh                         real readers when the system's PC/SC service has
#                                           any, the simulated card otherwise
#   scripts/demo.sh --sim [tachosim options...]   always the simulated card, e.g. --type 3 --t0
#   scripts/demo.sh --real                  the system's PC/SC service and real readers
#
# While it runs, from another terminal (the path is printed at start):
#   build/tools/tachosim --send /tmp/zentavo-demo.XXXX/card.ctl remove   (or insert, state)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZENTAVO_BUILD_DIR:-$root/build}

if [ "${ZENTAVO_DEMO_NO_BUILD:-}" != 1 ]; then
    "$root/scripts/setup.sh"
fi
zentavo=$build/zentavo
tachosim=$build/tools/tachosim
[ -x "$zentavo" ] || { echo "demo: no $zentavo; build first (scripts/setup.sh)" >&2; exit 1; }

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "demo: no display; run under a desktop, or: xvfb-run -a scripts/demo.sh" >&2
    exit 1
fi

mode=auto
case "${1:-}" in
--real) mode=real; shift ;;
--sim) mode=sim; shift ;;
esac
if [ "$mode" = auto ] && [ $# -eq 0 ]; then
    # Real readers of the system's pcscd, not the virtual ones a system vpcd
    # driver adds (they hold no card).
    if "$build/tools/pcsclist" 2>/dev/null | grep -qv '^Virtual PCD'; then
        mode=real
    fi
fi
if [ "$mode" = real ]; then
    # The system's pcscd (package pcscd) and whatever readers it has.
    exec "$zentavo"
fi

[ -x "$tachosim" ] || { echo "demo: no $tachosim" >&2; exit 1; }
dir=$(mktemp -d "${TMPDIR:-/tmp}/zentavo-demo.XXXXXX")
sim_pid=

cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    "$root/scripts/pcscd-bench.sh" stop "$dir/pcscd" || true
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A fixed port that a person can remember, away from the system vpcd's
# 35963/35964; the next free pair when it is taken.
port=${ZENTAVO_DEMO_PORT:-35990}
started=
for _ in 1 2 3 4 5 6 7 8 9 10; do
    if "$root/scripts/pcscd-bench.sh" start "$dir/pcscd" "$port" >/dev/null 2>"$dir/start.err"; then
        started=1
        break
    fi
    port=$((port + 2))
done
if [ -z "$started" ]; then
    "$root/scripts/pcscd-bench.sh" start "$dir/pcscd" auto >/dev/null || {
        cat "$dir/start.err" >&2
        exit 1
    }
    port=$(cat "$dir/pcscd/port")
fi

cert=()
[ -f "$root/tests/data/driver-gost-card.bin" ] && cert=(--cert "$root/tests/data/driver-gost-card.bin")
"$tachosim" --port "$port" --control "$dir/card.ctl" "${cert[@]}" "$@" </dev/null >"$dir/card.log" 2>&1 &
sim_pid=$!

cat <<EOF
== private pcscd: readers "Virtual PCD 00 00" (port $port, card inserted) and "Virtual PCD 00 01" (port $((port + 1)), empty)
== card log:        tail -f $dir/card.log
== remove / insert: $tachosim --send $dir/card.ctl remove   (insert, state)
EOF

PCSCLITE_CSOCK_NAME="$dir/pcscd/sock/pcscd.comm" "$zentavo" || true
