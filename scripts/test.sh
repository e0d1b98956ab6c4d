#!/usr/bin/env bash
# Whole set-up on a fresh Debian machine, then every test.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/setup.sh"
cd "${MATCHENGINE_BUILD_DIR:-$root/build}"
ctest --output-on-failure --parallel "$(nproc)"
