#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Whole set-up on a fresh Debian machine, then colormatch on the bundled sample
# photographs: the cat (target) takes on the colours of the rocket launch
# (reference), the look is exported as a LUT, and a side-by-side preview shows
# the three. colormatch runs the real engine as a host does, so this is also a
# real request through the engine's protocol.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/setup.sh"

colormatch="${MATCHENGINE_BUILD_DIR:-$root/build}/bin/colormatch"
out="$root/out"
mkdir -p "$out"

"$colormatch" "$root/examples/chelsea.png" "$root/examples/rocket.jpg" \
  -o "$out/chelsea_matched.png" --lut "$out/rocket_look" --preview "$out/preview.png" --size-file "$out/size.txt"

echo
echo "Matched image:   $out/chelsea_matched.png ($(cat "$out/size.txt") working size)"
echo "LUT for grading: $out/rocket_look_cube.cube (33 x 33 x 33) and $out/rocket_look_unwrapped.png"
echo "Side by side:    $out/preview.png (target | reference | result)"
