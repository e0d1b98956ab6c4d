#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Before/after timing of colormatch on one machine: BEFORE and AFTER are folders holding a colormatch and its
# matchengine; each round runs every case with both, one after the other, so that the load of a shared machine
# falls on both alike. Prints the median wall and CPU (user + system) times per case.
#   bash bench/colormatch_before_after.sh BEFORE AFTER TARGET.jpg [ROUNDS] [REFERENCE...]
set -euo pipefail
before="$1" after="$2" target="$3" rounds="${4:-10}"
shift $(( $# < 4 ? $# : 4 ))
references=("$@")
[ "${#references[@]}" -gt 0 ] || references=(examples/rocket.jpg examples/coffee.png)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for _ in $(seq "$rounds"); do
  for reference in "${references[@]}"; do
    for which in before after; do
      folder="$before"; [ "$which" = after ] && folder="$after"
      /usr/bin/time -f "$which $(basename "$reference") %e %U %S" -a -o "$work/times" \
        "$folder/colormatch" "$target" "$reference" -o "$work/$which.jpg" 2>/dev/null
    done
  done
done
python3 - "$work/times" <<'PY'
import collections, statistics, sys
runs = collections.defaultdict(list)
for line in open(sys.argv[1]):
    which, reference, wall, user, system = line.split()
    runs[(reference, which)].append((float(wall), float(user) + float(system)))
for (reference, which), times in sorted(runs.items()):
    print(f"{reference:12} {which:6} wall median {statistics.median(t[0] for t in times):.2f} s, "
          f"cpu median {statistics.median(t[1] for t in times):.2f} s ({len(times)} runs)")
PY
