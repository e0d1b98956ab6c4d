#!/usr/bin/env bash
# Whole set-up on a fresh Debian machine, then one real request on the bundled
# sample photographs: the cat (target) takes on the colours of the rocket launch.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/setup.sh"
echo "matchengine is built, but the matching run is not finished yet; see the README."
