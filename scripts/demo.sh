#!/usr/bin/env bash
# Whole set-up on a fresh Debian machine, then one real request on the bundled
# sample photographs, sent the way a host sends it: the cat (target) takes on
# the colours of the rocket launch (reference), and the look is exported as a LUT.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/setup.sh"

engine="${MATCHENGINE_BUILD_DIR:-$root/build}/matchengine"
out="$root/out"
mkdir -p "$out"
b64() { printf '%s' "$1" | base64 -w0; }

# The request: an ignored integer, then each image behind its big-endian length.
frame() {
  perl -e 'binmode STDOUT; my @images; for my $path (@ARGV) { open(my $f, "<:raw", $path) or die "$path: $!";
           local $/; push @images, scalar <$f>; }
           print pack("N", 0); print pack("N", length $_), $_ for @images;' "$1" "$2"
}

frame "$root/examples/chelsea.png" "$root/examples/rocket.jpg" |
  "$engine" demo 1 run none none on off 16 png 1 "$(b64 "$out/size.txt")" >"$out/chelsea_matched.png" 2>"$out/progress.log"
frame "$root/examples/chelsea.png" "$root/examples/rocket.jpg" |
  "$engine" demo 1 run none "$(b64 "$out/rocket_look")" on off 33 png 1 none >/dev/null 2>>"$out/progress.log"

echo
echo "Matched image:   $out/chelsea_matched.png ($(cat "$out/size.txt") working size)"
echo "LUT for grading: $out/rocket_look_cube.cube (33 x 33 x 33) and $out/rocket_look_unwrapped.png"
echo "Progress codes:  $out/progress.log"
