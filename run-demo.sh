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
cmake --build "$OUT" --target orvex-sim -j "$JOBS"
exec "$OUT/sim/cli/orvex-sim" demo "$@"
