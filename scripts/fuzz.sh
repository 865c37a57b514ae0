#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time on its committed seed corpus.
#   scripts/fuzz.sh TARGET SECONDS      TARGET: certificate | card_answers
# Builds the target into build-fuzz/ (or $ZENTAVO_FUZZ_BUILD_DIR) with clang.
# New inputs go to a scratch corpus in the build directory, never into
# fuzz/corpus; a crash, hang or leak is written there as crash-*/timeout-*/leak-*
# and the script fails. Replay one with: build-fuzz/fuzz_TARGET FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZENTAVO_FUZZ_BUILD_DIR:-$root/build-fuzz}
target=${1:?target: certificate or card_answers}
seconds=${2:-60}
jobs=${ZENTAVO_JOBS:-$(nproc)}

if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZENTAVO_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build" -j"$jobs" --target "fuzz_$target" >/dev/null

work="$build/fuzz-$target"
mkdir -p "$work/corpus" "$work/artifacts"
export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$work"
exec "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$root/fuzz/corpus/$target"
