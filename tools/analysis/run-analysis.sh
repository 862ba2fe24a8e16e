#!/usr/bin/env bash
# Static analysis of the hosted build's sources with clang-tidy: the clang
# static analyzer (clang-analyzer-*) and the bugprone-* and concurrency-*
# checks (clang-tidy.yaml beside this script).
#
#   run-analysis.sh BUILD_DIR [JOBS]
#
# BUILD_DIR is a configured hosted build with compile_commands.json
# (-DCMAKE_EXPORT_COMPILE_COMMANDS=ON); nothing needs to be built.
#   * driver/ and device/: every finding fails (exit status 1). A finding that
#     is wrong is silenced where it stands with a NOLINT comment that says why.
#   * hosted/: an advisory report, printed, never failing.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${1:?usage: run-analysis.sh BUILD_DIR [JOBS]}
JOBS=${2:-2}
TIDY=${CLANG_TIDY:-clang-tidy}
CONFIG="$HERE/clang-tidy.yaml"

if [ ! -f "$BUILD/compile_commands.json" ]; then
    echo "error: $BUILD/compile_commands.json missing (configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)" >&2
    exit 2
fi

# Runs clang-tidy on the given files, JOBS at a time; prints the findings
# (warning lines with their notes) and leaves their number in FOUND.
FOUND=0
analyze() {  # label, header filter, extra checks, files...
    local label=$1 filter=$2 checks=$3
    shift 3
    local out
    out=$(printf '%s\n' "$@" | xargs -P "$JOBS" -n 1 \
        "$TIDY" -p "$BUILD" --quiet --config-file="$CONFIG" --header-filter="$filter" \
        --checks="$checks" --extra-arg=-Wno-unknown-warning-option 2>/dev/null)
    # A header's finding is reported once per file that includes it.
    local findings
    findings=$(printf '%s\n' "$out" | grep -E '^/.*: (warning|error):' | sort -u)
    local count=0
    [ -n "$findings" ] && count=$(printf '%s\n' "$findings" | wc -l)
    echo "== static analysis, $label: $count finding(s) in $# file(s)"
    if [ "$count" -ne 0 ]; then
        printf '%s\n' "$out"
        echo "-- summary"
        printf '%s\n' "$findings"
    fi
    FOUND=$count
}

cd "$ROOT"
mapfile -t driverFiles < <(ls driver/*/*.cpp device/*/*.cpp)
mapfile -t hostedFiles < <(ls hosted/kernel/*.cpp hosted/usb/*.cpp)

analyze "driver and device" "$ROOT/(driver|device)/.*" "" "${driverFiles[@]}"
driverFindings=$FOUND
# hosted/include declares the WDK's own names (_KEVENT, _GUID...), which the
# reserved-identifier check would report by the hundred.
analyze "hosted (advisory)" "$ROOT/hosted/.*" "-bugprone-reserved-identifier" "${hostedFiles[@]}"

if [ "$driverFindings" -ne 0 ]; then
    echo "static analysis: $driverFindings finding(s) in driver/ and device/" >&2
    exit 1
fi
echo "static analysis: driver/ and device/ clean"
