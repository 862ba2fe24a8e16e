#!/usr/bin/env bash
# The main job: builds the hosted build and runs `orvex-sim demo`, which
# updates a simulated camera with old firmware end to end. Arguments go to
# the demo (e.g. --speed 0, --keep DIR, -q).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${ORVEX_JOBS:-2}
OUT=${ORVEX_BUILD_ROOT:-$ROOT/build-ci}/demo

. "$ROOT/.ci/deps.sh"
orvex_install_missing

cmake -S "$ROOT" -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
if cmake --build "$OUT" --target help | grep -q '^orvex-sim:'; then
    cmake --build "$OUT" --target orvex-sim -j "$JOBS"
else
    cmake --build "$OUT" -j "$JOBS"
    echo "The hosted build is ready in $OUT; the simulator (orvex-sim) is not part of this tree yet, so there is no demo to run."
    exit 0
fi

SIM=$(find "$OUT" -type f -name orvex-sim -perm -u+x -print -quit)
exec "$SIM" demo "$@"
