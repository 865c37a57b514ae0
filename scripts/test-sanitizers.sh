#!/usr/bin/env bash
# The test suite under the sanitizers, and the fuzz targets for a short time:
#   1. every test under AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included);
#   2. the reader monitor, window and fault tests under ThreadSanitizer;
#   3. each libFuzzer target for ZENTAVO_FUZZ_SECONDS (default 60) on its seed corpus.
# Run scripts/setup.sh (or scripts/test.sh) first for the packages; clang comes with clang-14.
# Build directories: ${ZENTAVO_SANITIZER_PREFIX:-build-}{asan,tsan,fuzz}. Extra arguments go to
# both ctest runs (for example -R faults). Takes about 20 minutes on 2 cores from scratch.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${ZENTAVO_SANITIZER_PREFIX:-$root/build-}
jobs=${ZENTAVO_JOBS:-$(nproc)}
seconds=${ZENTAVO_FUZZ_SECONDS:-60}
supp=$root/tests/sanitizers

# clang for the fuzz targets, and its sanitizer and libFuzzer runtimes.
if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q 'install ok installed'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev
fi

export QT_QPA_PLATFORM=offscreen
# Stop at the first finding and fail the test; leaks are findings too.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
# The bench starts pcscd and the simulator with QProcess, after the test's
# threads exist; the child only calls exec, which TSan cannot know.
export TSAN_OPTIONS="suppressions=$supp/tsan.supp:die_after_fork=0:halt_on_error=1:second_deadlock_stack=1"

# Runs ctest in a build directory. The sanitizers write their reports to files
# there, so that a finding in a process the tests do not judge (the simulator)
# fails the run as well.
run_ctest() {
    local dir=$1
    shift
    local reports="$dir/sanitizer-reports"
    rm -rf "$reports"
    mkdir -p "$reports"
    local status=0
    (cd "$dir" && ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/asan" UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
        TSAN_OPTIONS="$TSAN_OPTIONS:log_path=$reports/tsan" ctest --output-on-failure "$@") || status=$?
    if [ -n "$(ls -A "$reports")" ]; then
        for report in "$reports"/*; do
            echo "== $report"
            cat "$report"
        done
        status=1
    fi
    return $status
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake -S "$root" -B "${prefix}asan" -DCMAKE_BUILD_TYPE=Debug -DZENTAVO_SANITIZE=address,undefined >/dev/null
cmake --build "${prefix}asan" -j"$jobs"
run_ctest "${prefix}asan" -j"$jobs" "$@"

echo "== ThreadSanitizer: reader monitor, window, faults"
tsan_tests=(test_monitor fake_test_monitor_fake fake_test_operations_fake test_window test_faults_bench)
cmake -S "$root" -B "${prefix}tsan" -DCMAKE_BUILD_TYPE=Debug -DZENTAVO_SANITIZE=thread >/dev/null
cmake --build "${prefix}tsan" -j"$jobs" --target "${tsan_tests[@]}"
# The leak check of the 200 insert/remove cycles is the ASan stage's; 50 are
# enough here to interleave the monitor's reports with the card reads.
ZENTAVO_CYCLES=${ZENTAVO_TSAN_CYCLES:-50} run_ctest "${prefix}tsan" -j"$jobs" -R "^($(IFS='|'; echo "${tsan_tests[*]}"))\$" "$@"

echo "== libFuzzer: ${seconds} s per target"
for target in certificate card_answers; do
    mkdir -p "${prefix}fuzz"
    log="${prefix}fuzz/fuzz-$target.log"
    if ! ZENTAVO_FUZZ_BUILD_DIR="${prefix}fuzz" "$root/scripts/fuzz.sh" "$target" "$seconds" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz_$target found a fault: the input is in ${prefix}fuzz/fuzz-$target/artifacts"
        exit 1
    fi
    tail -n 12 "$log"
done
echo "== sanitizers and fuzzing: no finding"
