#!/usr/bin/env bash
# Builds ORVEX.sys and the hosted build and runs every test:
#   1. ORVEX.sys (mingw-w64 cross build) and its test-signed driver package
#   2. hosted build, all tests (the PE checks read the ORVEX.sys and the
#      package of step 1)
#   3. hosted build with AddressSanitizer + UBSan, all tests
#   4. hosted build with ThreadSanitizer, the tests labelled "concurrency"
#   5. static analysis (clang-tidy: the clang static analyzer, bugprone-*,
#      concurrency-*) of driver/ and device/, failing on any finding, and of
#      hosted/ as an advisory report (tools/analysis/run-analysis.sh)
#   6. the libFuzzer targets built with clang, each run for a bounded time
#      (ORVEX_FUZZ_SECONDS, default 15) from its seed corpus (tests/fuzz/run-fuzz.sh)
# Installs missing packages first (Debian, as root). Exits non-zero if any
# build or test fails. Build folders: build-ci/{win,hosted,asan,tsan,fuzz}
# (ORVEX_BUILD_ROOT overrides); parallelism: ORVEX_JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${ORVEX_JOBS:-2}
OUT=${ORVEX_BUILD_ROOT:-$ROOT/build-ci}

. "$ROOT/.ci/deps.sh"
orvex_install_missing

# Sanitizer findings fail the test that triggers them.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

configure_and_build() {  # folder, cmake arguments...
    local dir=$1
    shift
    echo "== configure $dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
    echo "== build $dir"
    cmake --build "$dir" -j "$JOBS"
}

failed=()
run_ctest() {  # label, folder, ctest arguments...
    local name=$1 dir=$2
    shift 2
    echo "== test $name"
    if ! ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 600 "$@"; then
        failed+=("$name")
    fi
}

configure_and_build "$OUT/win" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
ORVEX_SYS_PATH="$OUT/win/ORVEX.sys"
echo "== build the driver package"
cmake --build "$OUT/win" -j "$JOBS" --target package-driver
ORVEX_PACKAGE_PATH="$OUT/win/package/ORVEX"

configure_and_build "$OUT/hosted" -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE= -DORVEX_SYS="$ORVEX_SYS_PATH" -DORVEX_PACKAGE_DIR="$ORVEX_PACKAGE_PATH" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
run_ctest hosted "$OUT/hosted"

configure_and_build "$OUT/asan" -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=address,undefined -DORVEX_SYS="$ORVEX_SYS_PATH" -DORVEX_PACKAGE_DIR="$ORVEX_PACKAGE_PATH"
run_ctest "address,undefined" "$OUT/asan"

configure_and_build "$OUT/tsan" -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=thread
run_ctest "thread (concurrency)" "$OUT/tsan" -L concurrency --no-tests=ignore

echo "== static analysis"
tools/analysis/run-analysis.sh "$OUT/hosted" "$JOBS" || failed+=("static analysis")

echo "== fuzzing"
ORVEX_BUILD_ROOT="$OUT" ORVEX_JOBS="$JOBS" tests/fuzz/run-fuzz.sh "${ORVEX_FUZZ_SECONDS:-15}" || failed+=("fuzzing")

echo
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "All builds and tests passed (ORVEX.sys: $ORVEX_SYS_PATH, package: $ORVEX_PACKAGE_PATH)"
