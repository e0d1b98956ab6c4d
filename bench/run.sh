#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Configures and builds the benchmark (Release, in $MATCHENGINE_BENCH_BUILD_DIR,
# default ./build-bench), then runs it; arguments go to matchengine_bench.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MATCHENGINE_BENCH_BUILD_DIR:-$root/build-bench}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMATCHENGINE_BUILD_BENCH=ON \
    -DMATCHENGINE_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target matchengine_bench -j "$(nproc)" > /dev/null
exec "$build/bin/matchengine_bench" "$@"
