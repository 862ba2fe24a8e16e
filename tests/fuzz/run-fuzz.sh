#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ORVEX_FUZZ=ON:
# AddressSanitizer, UBSan, coverage) and runs each one, starting from its
# seed corpus in tests/fuzz/corpus/<name> and the reproducers of faults found
# before (tests/fuzz/regressions/<name>).
#
#   run-fuzz.sh [SECONDS]        each target for SECONDS (default 15)
#   ORVEX_FUZZ_RUNS=N run-fuzz.sh   each target for N executions instead
#   ORVEX_FUZZ_TARGETS="wmi fx3_image" ...   only these targets
#
# Build folder: $ORVEX_BUILD_ROOT/fuzz (default build-ci/fuzz); the corpus
# grown by the run, the log of each target and any crashing input
# (crash-*, leak-*, timeout-*) go to its "runs" subfolder; the repository's
# seed corpus is only read. Targets run ORVEX_JOBS (default 2) at a time.
# Exits non-zero if the build fails or any target finds a fault.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
SECONDS_EACH=${1:-15}
JOBS=${ORVEX_JOBS:-2}
OUT=${ORVEX_BUILD_ROOT:-$ROOT/build-ci}/fuzz
RUNS=${ORVEX_FUZZ_RUNS:-}
TARGETS=${ORVEX_FUZZ_TARGETS:-version_file fx3_image fx3_branch flash_branch registry_value wmi descriptors capture scenario}

echo "== configure $OUT"
cmake -S "$ROOT" -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DORVEX_FUZZ=ON -DORVEX_TESTS=fuzz >/dev/null || exit 1
echo "== build $OUT (fuzz-targets)"
cmake --build "$OUT" -j "$JOBS" --target fuzz-targets || exit 1

# Sanitizer findings abort the input; leaks are checked per input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

run_one() {  # target
    local t=$1 dir="$OUT/runs/$1"
    rm -rf "$dir" && mkdir -p "$dir/corpus"
    local limit=(-max_total_time="$SECONDS_EACH")
    [ -n "$RUNS" ] && limit=(-runs="$RUNS")
    # Inputs as large as the largest seed; 20 s for one input is a hang.
    (cd "$dir" && "$OUT/tests/fuzz/fuzz_$t" "${limit[@]}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$dir/" corpus "$HERE/corpus/$t" $(ls -d "$HERE/regressions/$t" 2>/dev/null) >"$dir/log.txt" 2>&1)
    local rc=$?
    local execs cov
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/log.txt" | grep -o '[0-9]*$')
    cov=$(grep -oE '(DONE|pulse|NEW|REDUCE|INITED) +cov: [0-9]+ ft: [0-9]+' "$dir/log.txt" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
    if [ $rc -eq 0 ]; then
        echo "fuzz $t: ok, ${execs:-?} executions, ${cov:-no coverage figure}, corpus $(ls "$dir/corpus" | wc -l) inputs"
    else
        echo "fuzz $t: FAILED (exit $rc), see $dir/log.txt; reproducer: $(ls "$dir" | grep -E '^(crash|leak|timeout|oom)-' | head -1)"
        tail -40 "$dir/log.txt"
    fi
    return $rc
}
export -f run_one
export OUT HERE SECONDS_EACH RUNS

failed=0
# shellcheck disable=SC2086
printf '%s\n' $TARGETS | xargs -P "$JOBS" -I{} bash -c 'run_one {}' || failed=1
if [ $failed -ne 0 ]; then
    echo "fuzzing: a target found a fault" >&2
    exit 1
fi
echo "fuzzing: every target ran clean"
