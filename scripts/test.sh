#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Whole set-up on a fresh Debian machine, then every test: once in the release
# build, once more in a clang build with AddressSanitizer and
# UndefinedBehaviorSanitizer, which also replays the fuzz corpus; then in a
# Debian 13 root (release build, GIMP 3's plug-in with it); then the Windows
# build, cross-built here, under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/setup.sh"
jobs="$(nproc)"

echo "== Tests (release build)"
(cd "${MATCHENGINE_BUILD_DIR:-$root/build}" && ctest --output-on-failure --parallel "$jobs")

echo "== Soak run, short (bench/soak.sh: a few seconds of colormatch batches, some stopped by signals)"
bash "$root/bench/soak.sh" --short --build "${MATCHENGINE_BUILD_DIR:-$root/build}"

echo "== Tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
sanitize="${MATCHENGINE_SANITIZE_DIR:-$root/build-sanitize}"
CC=clang CXX=clang++ cmake -S "$root" -B "$sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMATCHENGINE_SANITIZE=ON -DMATCHENGINE_BUILD_FUZZ=ON
cmake --build "$sanitize" --parallel "$jobs"
# Leaks are not checked: Qt, OpenCV and the OpenCL runtime keep process-wide
# allocations until exit.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd "$sanitize" && ctest --output-on-failure --parallel "$jobs")

echo "== Tests (Debian 13: release build in a root made with mmdebstrap)"
# The root is cached between runs (the first run makes it: about ten minutes).
bash "$root/scripts/debian13.sh"

echo "== Tests (Windows build under Wine)"
# Cross-built from Debian's sources; the libraries are cached between runs
# (the first run builds them: about half an hour on two idle cores).
bash "$root/scripts/windows.sh" --package
