#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Throughput of one batch on one machine, three ways: colormatch's own batch (one engine per CPU), and GNU
# parallel with SLOTS job slots running jobs of one image and jobs of 25 images (one engine each). Each round runs
# the three one after the other into fresh folders, so that the load of a shared machine falls on all alike;
# prints each run's wall time and images per second, and the load average before it.
#   bash bench/farm_throughput.sh COLORMATCH REFERENCE IMAGES_DIR [SLOTS] [ROUNDS] [FORMAT]
set -euo pipefail
colormatch="$(realpath "$1")" reference="$(realpath "$2")" images="$(realpath "$3")"
slots="${4:-2}" rounds="${5:-1}" format="${6:-jpg}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work" # parallel keeps its files in ~/.parallel
find "$images" -maxdepth 1 -type f | sort > "$work/list.txt"
count="$(wc -l < "$work/list.txt")"
run() { # NAME COMMAND...
  local name="$1"; shift
  rm -rf "$work/out"
  local load; load="$(cut -d' ' -f1-3 /proc/loadavg)"
  local start end; start="$(date +%s.%N)"
  "$@" > /dev/null 2>&1 || true
  end="$(date +%s.%N)"
  local done; done="$(find "$work/out" -type f | wc -l)"
  python3 -c "import sys; w = float(sys.argv[2]) - float(sys.argv[1]); print(f'{sys.argv[3]:28} {int(sys.argv[4]):4} of $count images  {w:7.1f} s  {int(sys.argv[4]) / w:5.2f} images/s  (load before: {sys.argv[5]})')" \
    "$start" "$end" "$name" "$done" "$load"
}
for _ in $(seq "$rounds"); do
  run "colormatch batch" "$colormatch" -r "$reference" -d "$work/out" --format "$format" --from-list "$work/list.txt"
  run "parallel -j $slots, 1 a job" parallel --will-cite -j "$slots" -N 1 \
    "$colormatch" -j 1 -r "$reference" -d "$work/out" --format "$format" {} :::: "$work/list.txt"
  run "parallel -j $slots, 25 a job" parallel --will-cite -j "$slots" -N 25 \
    "$colormatch" -j 1 -r "$reference" -d "$work/out" --format "$format" {} :::: "$work/list.txt"
done
