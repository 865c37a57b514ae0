#!/usr/bin/env bash
# Builds the program and its benchmarks (Release) and runs them on a private
# pcscd with simulated cards: prints the table and writes it, with the
# machine's description and load, to the results file.
#
#   scripts/bench.sh [RESULTS_FILE]        default: BUILD/bench-results.txt
#
# Environment: ZENTAVO_BENCH_BUILD_DIR (build-perf), ZENTAVO_BENCH_REPEAT (20),
# ZENTAVO_BENCH_IDLE (seconds of idle measure, 60), ZENTAVO_BENCH_CYCLES (100),
# ZENTAVO_BENCH_NO_SETUP=1 to skip installing packages (scripts/setup.sh).
# Takes about 6 minutes; other load on the machine shows in the figures, so
# the load averages are written before and after.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZENTAVO_BENCH_BUILD_DIR:-$root/build-perf}
out=${1:-$build/bench-results.txt}
repeat=${ZENTAVO_BENCH_REPEAT:-20}

if [ "${ZENTAVO_BENCH_NO_SETUP:-}" != 1 ]; then
    ZENTAVO_BUILD_DIR=$build ZENTAVO_BUILD_TYPE=Release "$root/scripts/setup.sh"
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZENTAVO_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_window bench_process zentavo tachosim otherclient >"$build/bench-build.log" ||
    { tail -30 "$build/bench-build.log" >&2; exit 1; }

# The program itself runs on an X display (xvfb-run when there is none), so
# that its window can be seen by xdotool; the in-process window runs off screen.
xrun=()
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
    xrun=(xvfb-run -a)
fi

mkdir -p "$(dirname "$out")"
{
    echo "Zentavo benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
    echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
        "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory, $(uname -sr)"
    echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
} > "$out"
cat "$out"

# The program's own debug lines and Qt's notes go to a log, not the table.
log=$build/bench-stderr.log
: > "$log"
"$build/bench/bench_window" --repeat "$repeat" --out "$out" 2>>"$log"
"${xrun[@]}" "$build/bench/bench_process" --repeat "$(( repeat < 10 ? repeat : 10 ))" \
    --idle "${ZENTAVO_BENCH_IDLE:-60}" --cycles "${ZENTAVO_BENCH_CYCLES:-100}" --out "$out" 2>>"$log"

echo "load after: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)" | tee -a "$out"
echo "== figures written to $out (stderr of the runs: $log)"
