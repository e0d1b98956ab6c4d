#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what the build needs from Debian's packages (only what is missing;
# Debian 12 or 13, the list is in packages.sh), then configures and builds
# matchengine in ./build. Sourced by test.sh and demo.sh.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
projectPackages "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
installMissingPackages "${packages[@]}"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MATCHENGINE_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --parallel "$(nproc)"
