#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Soak run: a mixed stream of colormatch batches (many engines at once, a share
# of broken inputs, some batches stopped by a signal at a random moment) for a
# set time, each checked against a quiet run of the same inputs. Not a test:
# bash bench/soak.sh --help says what it checks.
set -uo pipefail

usage() {
  cat <<'EOF'
Usage: bash bench/soak.sh [--minutes M] [--short] [--build DIR] [--jobs N] [--seed S] [--keep DIR]

Runs colormatch batches (-r REF -d OUT --format F -j N IMAGES...) with a random
mix of images, formats and engine counts for M minutes (default 10), stopping
about a third of them at a random moment with SIGINT, SIGTERM or SIGKILL, after
a quiet run (-j 1, every image in every format) that gives the expected lines,
statuses and results. Checks of every batch:
  - the exit status is the documented one (0, 1 when an image failed, 128 + N
    when stopped by signal N), and every image's line is the quiet run's;
  - every output equals the quiet run's byte for byte, and the quiet run's
    outputs decode (ffmpeg);
  - no temporary file is left in the output folder or in the batch's TMPDIR,
    and no engine is left running;
  - an engine holds only its standard channels and what its runtime opens:
    no other pipe of colormatch's or another engine's, no other file;
  - the engines' resident memory (sampled) stays within colormatch's estimate,
    120 MiB + 24 bytes per pixel of the batch's largest image per engine, and
    colormatch's with theirs within the batch's, which adds colormatch's own
    80 MiB + 36 bytes per pixel; and colormatch's alone within that share.
A SIGKILL leaves what colormatch cannot clean up; that is counted on its own
lines and fails nothing.

  --minutes M   how long to run batches (default 10)
  --short       a few seconds, small images only (the test command runs this)
  --build DIR   the build whose bin/ holds colormatch and matchengine (default ./build)
  --jobs N      at most N engines per batch (default 4)
  --seed S      the random mix (default: from the clock; printed)
  --keep DIR    work in DIR and keep it: inputs, quiet results, every batch's
                log, and the folders of batches that failed a check
Exit status: 0 when every check held, 1 with the list of what failed.
EOF
}

minutes=10 short=0 build=./build jobs=4 seed="" keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --short) short=1; shift ;;
    --build) build="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "soak.sh: unknown argument $1 (see --help)" >&2; exit 64 ;;
  esac
done
for tool in ffmpeg cmp pgrep ps awk; do
  command -v "$tool" > /dev/null || { echo "soak.sh: $tool is missing (ffmpeg: apt-get install ffmpeg)" >&2; exit 69; }
done
[ -x "$build/bin/colormatch" ] && [ -x "$build/bin/matchengine" ] ||
  { echo "soak.sh: no colormatch and matchengine in $build/bin (--build DIR)" >&2; exit 66; }

seed="${seed:-$(( $(date +%s) % 32768 ))}"
RANDOM="$seed"
if [ -n "$keep" ]; then
  mkdir -p "$keep" && work="$(cd "$keep" && pwd)"
else
  work="$(mktemp -d "${TMPDIR:-/tmp}/matchengine-soak.XXXXXX")"
fi
# A private copy of the programs, so that a process running this path is one of
# this soak's engines.
bin="$work/bin"
mkdir -p "$bin" "$work/inputs" "$work/quiet" "$work/runs"
cp "$build"/bin/colormatch "$build"/bin/matchengine "$build"/bin/*.so "$bin/" 2> /dev/null
engineCommand="$bin/matchengine"

engines() { pgrep -f "^$engineCommand " || true; }
cleanUp() {
  local pid
  for pid in $(engines); do kill -KILL "$pid" 2> /dev/null; done
  [ -n "$keep" ] || rm -rf "$work"
}
trap cleanUp EXIT

# ---- Inputs: generated once. NAME -> pixels colormatch sizes its engines by.
declare -A pixels=() expectedLine=() expectedTime=()
images=()
generate() { # NAME SOURCE WxH
  local name="$1" source="$2" size="$3" quality=()
  [[ "$name" == *.jpg ]] && quality=(-q:v 3)
  ffmpeg -v error -f lavfi -i "$source=size=$size,noise=alls=10:allf=t+u" -frames:v 1 "${quality[@]}" \
    -y "$work/inputs/$name" || { echo "soak.sh: ffmpeg could not make $name" >&2; exit 70; }
  pixels[$name]=$(( ${size%x*} * ${size#*x} ))
  images+=("$name")
}
if [ "$short" = 1 ]; then
  sizes=(64x48) duration=5
  weights=(3)
else
  sizes=(64x48 640x480 1728x1152 4240x2832 6000x4000) duration=$(( minutes * 60 ))
  weights=(4 4 3 1 1)
fi
echo "== Inputs (seed $seed, in $work)"
declare -A weight=()
for i in "${!sizes[@]}"; do
  generate "p${sizes[$i]}.png" testsrc2 "${sizes[$i]}"
  generate "j${sizes[$i]}.jpg" gradients "${sizes[$i]}"
  weight[p${sizes[$i]}.png]=${weights[$i]} weight[j${sizes[$i]}.jpg]=${weights[$i]}
done
ffmpeg -v error -f lavfi -i "gradients=size=800x600:seed=7,noise=alls=10:allf=t+u" -frames:v 1 -q:v 3 \
  -y "$work/reference.jpg"
# Broken inputs: a JPEG cut in half (its header still declares its size), random
# bytes, an empty file, a text file.
last="j${sizes[-1]}.jpg"
head -c $(( $(stat -c %s "$work/inputs/$last") / 2 )) "$work/inputs/$last" > "$work/inputs/cut.jpg"
head -c 3000 /dev/urandom > "$work/inputs/random.png"
: > "$work/inputs/empty.png"
echo "not an image" > "$work/inputs/notes.txt"
pixels[cut.jpg]=${pixels[$last]} pixels[random.png]=12000 pixels[empty.png]=0 pixels[notes.txt]=52
images+=(cut.jpg random.png empty.png notes.txt)
for name in cut.jpg random.png empty.png notes.txt; do weight[$name]=1; done
formats=(png jpg webp tif bmp)

# ---- Running one batch, sampled while it runs.
# colormatch's estimate of a batch's memory (colormatch/output_encoding.cpp):
# each engine 120 MiB + 24 bytes a pixel of the largest image (its work and the
# input written into it), colormatch itself 80 MiB + 36 bytes a pixel.
perEngine() { echo $(( 120 * 1024 * 1024 + 24 * $1 )); }
colormatchShare() { echo $(( 80 * 1024 * 1024 + 36 * $1 )); }
declare -A failures=() leftovers=()
failureList=()
fail() { # RUN CAUSE DETAIL
  failures[$2]=$(( ${failures[$2]:-0} + 1 ))
  [ "${#failureList[@]}" -lt 40 ] && failureList+=("run $1: $2: $3")
  runFailed=1
}
mostEngineFds=0 mostEngineFdList="" mostColormatchFds=0 mostColormatchEngines=0
peakTotal=0 peakTotalEstimate=0 peakColormatch=0 peakColormatchPixels=0 peakEngineRatio=0 batchesOver=0

# descriptors PID: "NUMBER TARGET" lines; those of a process that is ending
# may be missing.
descriptors() {
  find "/proc/$1/fd" -mindepth 1 -printf '%f %l\n' 2> /dev/null | awk 'NF >= 2'
}

# sampleBatch PID RUN LARGEST [SIGNAL AT]: samples colormatch and its engines
# until colormatch has ended, sending SIGNAL at AT (bash's EPOCHREALTIME).
sampleBatch() {
  local cm="$1" run="$2" largest="$3" signal="${4:-}" at="${5:-}" state line
  local estimate count enginesRss cmRss cmFds pid fdCount ratio now shared own
  estimate=$(perEngine "$largest") own=$(colormatchShare "$largest")
  sentAt="" totalOver=0 cmOver=0
  while :; do
    read -r state < <(awk '{print $3}' "/proc/$cm/stat" 2> /dev/null) || break
    [ "$state" = Z ] && break
    now="$EPOCHREALTIME"
    if [ -n "$signal" ] && [ -z "$sentAt" ] && [[ "${now/./}" -ge "${at/./}" ]]; then
      kill -s "$signal" "$cm" 2> /dev/null && sentAt="$now"
    fi
    count=0 enginesRss=0 cmRss=0
    while read -r pid rss; do
      if [ "$pid" = "$cm" ]; then cmRss="$rss"; else count=$(( count + 1 )) enginesRss=$(( enginesRss + rss )); fi
    done < <(ps -o pid=,rss= -p "$cm" --ppid "$cm" 2> /dev/null)
    cmFds=$(descriptors "$cm" | cut -d ' ' -f 2-)
    engineFds=""
    for pid in $(pgrep -P "$cm"); do
      fdCount=0 shared=()
      while read -r fd target; do
        [ -n "$fd" ] || continue
        fdCount=$(( fdCount + 1 ))
        [ "$fd" -le 2 ] && continue
        [[ "$target" == pipe:* || "$target" == socket:* ]] && engineFds+="$pid $target"$'\n'
        # The engine keeps its standard error (colormatch's pipe) as its
        # protocol channel and points descriptor 2 at /dev/null: one pipe of
        # colormatch's is its own. Beyond that an engine holds what its
        # runtime opens (eventfd, its own pipes, system files); another pipe
        # of colormatch's, or any other file, leaked into it.
        if [[ "$target" == pipe:* || "$target" == socket:* ]]; then
          grep -qxF "$target" <<< "$cmFds" && shared+=("$fd: $target")
        elif [[ "$target" != anon_inode:* && ! "$target" =~ ^/(usr|etc|dev|proc|sys)/ ]]; then
          fail "$run" "descriptor leaked into an engine" "engine $pid holds $target as $fd"
        fi
      done < <(descriptors "$pid")
      [ "${#shared[@]}" -gt 1 ] && fail "$run" "descriptor leaked into an engine" \
        "engine $pid holds ${#shared[@]} pipes of colormatch's (${shared[*]}); one is its protocol channel"
      if [ "$fdCount" -gt "$mostEngineFds" ]; then
        mostEngineFds="$fdCount"
        mostEngineFdList=$(descriptors "$pid" | cut -d ' ' -f 2- | paste -s -d ' ')
      fi
    done
    # A pipe held by two engines is one engine's, leaked into the other.
    while read -r target; do
      [ -n "$target" ] && fail "$run" "descriptor leaked into an engine" "two engines hold $target"
    done < <(awk 'NF == 2 && !seen[$0]++ { if (++engines[$2] == 2) print $2 }' <<< "$engineFds")
    fdCount=$(grep -c . <<< "$cmFds")
    [ "$fdCount" -gt "$mostColormatchFds" ] && mostColormatchFds="$fdCount" mostColormatchEngines="$count"
    if [ "$count" -gt 0 ]; then
      ratio=$(( enginesRss * 1024 * 100 / (count * estimate) ))
      [ "$ratio" -gt "$peakEngineRatio" ] && peakEngineRatio="$ratio"
      [ "$ratio" -gt 100 ] && fail "$run" "engines' memory over the estimate" \
        "$count engines $(( enginesRss / 1024 )) MiB, estimate $(( count * estimate / 1048576 )) MiB"
    fi
    if [ $(( cmRss + enginesRss )) -gt "$peakTotal" ]; then
      peakTotal=$(( cmRss + enginesRss )) peakTotalEstimate=$(( (own + jobsOfBatch * estimate) / 1024 ))
    fi
    if [ $(( (cmRss + enginesRss) * 1024 )) -gt $(( own + jobsOfBatch * estimate )) ] && [ "$totalOver" = 0 ]; then
      totalOver=1
      fail "$run" "memory over the batch's estimate" "colormatch $(( cmRss / 1024 )) MiB and $count engines\
 $(( enginesRss / 1024 )) MiB, estimate $(( (own + jobsOfBatch * estimate) / 1048576 )) MiB"
    fi
    [ "$cmRss" -gt "$peakColormatch" ] && peakColormatch="$cmRss" peakColormatchPixels="$largest"
    if [ $(( cmRss * 1024 )) -gt "$own" ] && [ "$cmOver" = 0 ]; then
      cmOver=1
      fail "$run" "colormatch's memory over its share" "$(( cmRss / 1024 )) MiB, its share $(( own / 1048576 )) MiB"
    fi
    sleep 0.1
  done
}

# startBatch RUN FORMAT N IMAGE...: colormatch in the background (pid in $cm),
# with a TMPDIR of its own, no inherited descriptors and the default handling
# of the stop signals (a background job of a script would ignore SIGINT).
startBatch() {
  local run="$1" format="$2" n="$3" fd
  shift 3
  mkdir -p "$work/runs/$run/out" "$work/runs/$run/tmp"
  (
    for fd in /proc/$BASHPID/fd/*; do
      fd="${fd##*/}"
      [ "$fd" -gt 2 ] && [ "$fd" != 255 ] && eval "exec $fd>&-"
    done
    cd "$work/inputs" && TMPDIR="$work/runs/$run/tmp" exec env --default-signal=INT,TERM,HUP \
      "$bin/colormatch" -r "$work/reference.jpg" -d "$work/runs/$run/out" --format "$format" -j "$n" "$@"
  ) < /dev/null > "$work/runs/$run/stdout" 2> "$work/runs/$run/log" &
  cm=$!
}

# Each image's name and line, the run's own output folder taken out of it.
imageLines() { # RUN
  awk -v out="$work/runs/$1/out/" '
    /^(done|failed)  / && !seen[$2]++ {
      line = $0; at = index(line, out)
      if (at) line = substr(line, 1, at - 1) "OUT/" substr(line, at + length(out))
      print substr($2, 1, length($2) - 1) "\t" line
    }
    / images?: [0-9]+ done/ { exit }' "$work/runs/$1/log"
}

echo "== Quiet run: every image in every format, one engine at a time"
for format in "${formats[@]}"; do
  run="quiet-$format"
  started="$EPOCHREALTIME"
  startBatch "$run" "$format" 1 "${images[@]}"
  jobsOfBatch=1
  runFailed=0
  sampleBatch "$cm" quiet "${pixels[$last]}"
  wait "$cm"
  status=$?
  expectedStatus=0
  while IFS=$'\t' read -r name line; do
    expectedLine[$format/$name]="$line"
    [[ "$line" == failed* ]] && expectedStatus=1
  done < <(imageLines "$run")
  [ "$status" = "$expectedStatus" ] || fail "$run" "quiet run's status" "$status, expected $expectedStatus"
  for name in "${images[@]}"; do
    [ -n "${expectedLine[$format/$name]:-}" ] || fail "$run" "quiet run's lines" "no line for $name"
    stem="${name%.*}"
    if [[ "${expectedLine[$format/$name]:-}" == done* ]]; then
      ffmpeg -v error -i "$work/runs/$run/out/$stem.$format" -f null - 2> /dev/null ||
        fail "$run" "result does not decode" "$stem.$format"
    fi
  done
  # Per image: the batch's time spread by pixels plus a fixed part, for kill moments.
  total=$(( ${EPOCHREALTIME/./} - ${started/./} ))
  allPixels=0
  for name in "${images[@]}"; do allPixels=$(( allPixels + pixels[$name] + 1000000 )); done
  for name in "${images[@]}"; do
    expectedTime[$format/$name]=$(( total * (pixels[$name] + 1000000) / allPixels ))
  done
  mv "$work/runs/$run/out" "$work/quiet/$format"
  rm -rf "$work/runs/$run"
  echo "   $format: status $status, $(( total / 1000 )) ms"
done
if [ "${#failures[@]}" -gt 0 ]; then
  echo "soak.sh: the quiet run did not go as expected:" >&2
  printf '  %s\n' "${failureList[@]}" >&2
  exit 1
fi

# ---- The soak: batches until the time is up.
signals=(INT TERM KILL)
declare -A kills=() killsEarly=() statuses=()
runs=0 matched=0 bytesDiffer=0 orphanEngines=0 orphanLongest=0 stopLines=0 leftBytes=0
pool=()
for name in "${images[@]}"; do
  for _ in $(seq "${weight[$name]}"); do pool+=("$name"); done
done
echo "== Soak: $duration s, up to $jobs engines per batch"
soakEnd=$(( SECONDS + duration ))
while [ "$SECONDS" -lt "$soakEnd" ]; do
  runs=$(( runs + 1 ))
  run="$runs"
  runFailed=0
  format="${formats[RANDOM % ${#formats[@]}]}"
  n=$(( RANDOM % jobs + 1 ))
  count=$(( RANDOM % 6 + 1 ))
  declare -A chosen=()
  batch=()
  for _ in $(seq $(( count * 4 ))); do
    name="${pool[RANDOM % ${#pool[@]}]}"
    [ -n "${chosen[$name]:-}" ] && continue
    chosen[$name]=1 batch+=("$name")
    [ "${#batch[@]}" -ge "$count" ] && break
  done
  largest=0 expectedMicros=0 expectedStatus=0
  for name in "${batch[@]}"; do
    [ "${pixels[$name]}" -gt "$largest" ] && largest="${pixels[$name]}"
    expectedMicros=$(( expectedMicros + expectedTime[$format/$name] ))
    [[ "${expectedLine[$format/$name]}" == failed* ]] && expectedStatus=1
  done
  jobsOfBatch=$(( n < ${#batch[@]} ? n : ${#batch[@]} ))
  signal="" at=""
  if [ $(( RANDOM % 3 )) = 0 ]; then
    signal="${signals[RANDOM % 3]}"
    # A moment within about the batch's quiet time, shared by its engines.
    at=$(( ${EPOCHREALTIME/./} + (expectedMicros * 12 / 10 / jobsOfBatch) * RANDOM / 32768 ))
    at="${at:0:-6}.${at: -6}"
  fi
  startBatch "$run" "$format" "$n" "${batch[@]}"
  # (bash's own "Killed" notice of a SIGKILL is not wanted on standard error)
  { sampleBatch "$cm" "$run" "$largest" "$signal" "$at"; wait "$cm"; status=$?; } 2> /dev/null
  statuses[$status]=$(( ${statuses[$status]:-0} + 1 ))
  batchesOver=$(( batchesOver + totalOver ))
  log="$work/runs/$run/log" out="$work/runs/$run/out" tmp="$work/runs/$run/tmp"

  # The status: the quiet run's, or 128 + the signal when it came before the end.
  stopped=0
  if [ -n "$signal" ]; then
    kills[$signal]=$(( ${kills[$signal]:-0} + 1 ))
    signalNumber=$(kill -l "$signal")
    if [ "$status" = $(( 128 + signalNumber )) ]; then
      stopped=1
      grep -q "^colormatch: stopped by SIG$signal; the running engines were ended$" "$log" &&
        stopLines=$(( stopLines + 1 ))
    else
      killsEarly[$signal]=$(( ${killsEarly[$signal]:-0} + 1 ))
    fi
  fi
  [ "$stopped" = 1 ] || [ "$status" = "$expectedStatus" ] ||
    fail "$run" "exit status" "$status for ${batch[*]} as $format, expected $expectedStatus${signal:+ or $(( 128 + $(kill -l "$signal") ))}"

  # Engines still running: after a SIGKILL, how long they go on; otherwise a failure.
  left=$(engines)
  if [ -n "$left" ]; then
    if [ "$signal" = KILL ] && [ "$stopped" = 1 ]; then
      orphanEngines=$(( orphanEngines + $(wc -w <<< "$left") ))
      since="${EPOCHREALTIME/./}"
      while [ -n "$(engines)" ] && [ $(( ${EPOCHREALTIME/./} - since )) -lt 30000000 ]; do sleep 0.05; done
      lived=$(( (${EPOCHREALTIME/./} - since) / 1000 ))
      [ "$lived" -gt "$orphanLongest" ] && orphanLongest="$lived"
    else
      fail "$run" "engine left running" "$(wc -w <<< "$left") engines after status $status"
    fi
    for pid in $(engines); do kill -KILL "$pid" 2> /dev/null; done
  fi

  # Lines and outputs against the quiet run.
  declare -A lineOf=()
  while IFS=$'\t' read -r name line; do
    lineOf[$name]="$line"
  done < <(imageLines "$run")
  for name in "${batch[@]}"; do
    stem="${name%.*}" expected="${expectedLine[$format/$name]}"
    if [ -n "${lineOf[$name]:-}" ]; then
      [ "${lineOf[$name]}" = "$expected" ] || fail "$run" "image line differs from the quiet run" "${lineOf[$name]}"
    elif [ "$stopped" = 0 ]; then
      fail "$run" "image without its line" "$name"
    fi
    result="$out/$stem.$format"
    if [ -e "$result" ]; then
      matched=$(( matched + 1 ))
      if [[ "$expected" != done* ]]; then
        fail "$run" "output of an image that fails" "$stem.$format"
      elif ! cmp -s "$result" "$work/quiet/$format/$stem.$format"; then
        # Bytes may differ where pixels do not; decode both to tell.
        if [ "$(ffmpeg -v error -i "$result" -f framemd5 - 2> /dev/null | tail -1)" = \
             "$(ffmpeg -v error -i "$work/quiet/$format/$stem.$format" -f framemd5 - | tail -1)" ]; then
          bytesDiffer=$(( bytesDiffer + 1 ))
        else
          fail "$run" "result differs from the quiet run" "$stem.$format"
        fi
      fi
    elif [[ "$expected" == done* ]] && [[ "${lineOf[$name]:-}" == done* ]]; then
      fail "$run" "reported output missing" "$stem.$format"
    fi
  done

  # Temporary files: in the output folder anything but the outputs, and
  # anything in the batch's TMPDIR.
  unset stems; declare -A stems=()
  for name in "${batch[@]}"; do stems[${name%.*}.$format]=1; done
  strays=()
  while IFS= read -r path; do
    [ -n "${stems[${path##*/}]:-}" ] || strays+=("out/${path##*/}")
  done < <(find "$out" -mindepth 1 -maxdepth 1)
  while IFS= read -r path; do strays+=("tmp/${path#"$tmp"/}"); done < <(find "$tmp" -mindepth 1)
  if [ "${#strays[@]}" -gt 0 ]; then
    if [ "$signal" = KILL ] && [ "$stopped" = 1 ]; then
      leftBytes=$(( leftBytes + $(find "$tmp" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}') ))
      for path in "${strays[@]}"; do
        case "$path" in
          out/*) leftovers[temporary file in the output folder]=$(( ${leftovers[temporary file in the output folder]:-0} + 1 ))
                 leftBytes=$(( leftBytes + $(stat -c %s "$out/${path#out/}") )) ;;
          tmp/*/*) leftovers[file in a temporary folder]=$(( ${leftovers[file in a temporary folder]:-0} + 1 )) ;;
          tmp/*) leftovers[temporary folder]=$(( ${leftovers[temporary folder]:-0} + 1 )) ;;
        esac
      done
    elif [ "$stopped" = 1 ] && ! grep -q "^colormatch: stopped by" "$log"; then
      fail "$run" "temporary file left by SIG$signal before the first engine started" "${strays[*]}"
    else
      fail "$run" "temporary file left" "${strays[*]}"
    fi
  fi
  printf '%4d %-4s -j %d %-4s %s%s: %s\n' "$run" "$format" "$n" "$status" "${signal:+SIG$signal }" \
    "$( [ "$runFailed" = 1 ] && echo FAILED )" "${batch[*]}" >> "$work/runs.log"
  if [ "$runFailed" = 1 ] && [ -n "$keep" ]; then
    mv "$work/runs/$run" "$work/runs/failed-$run"
  else
    rm -rf "$work/runs/$run"
  fi
done

# ---- Figures.
echo "== Figures"
echo "batches: $runs ($matched outputs written and compared; $bytesDiffer equal only in pixels)"
for status in $(printf '%s\n' "${!statuses[@]}" | sort -n); do
  echo "  exit status $status: ${statuses[$status]}"
done
for signal in "${signals[@]}"; do
  echo "killed by SIG$signal: ${kills[$signal]:-0} (${killsEarly[$signal]:-0} ended before the signal)"
done
echo "  stop message on SIGINT/SIGTERM: $stopLines"
echo "left by SIGKILL of colormatch (it cannot clean up; counted here, not as failures):"
echo "  engines still running: $orphanEngines (the last ended ${orphanLongest} ms after colormatch, at most; killed after 30 s)"
for cause in "temporary folder" "file in a temporary folder" "temporary file in the output folder"; do
  echo "  $cause: ${leftovers[$cause]:-0}"
done
echo "  bytes in those files: $leftBytes"
echo "peak memory (the quiet run's included): engines at most ${peakEngineRatio} % of their estimate (120 MiB + 24 bytes a pixel of the largest image each);"
echo "  colormatch and engines at most $(( peakTotal / 1024 )) MiB (that batch's estimate, colormatch's 80 MiB + 36 bytes a pixel included: $(( peakTotalEstimate / 1024 )) MiB);" \
  "over their batch's estimate in $batchesOver of $runs batches"
echo "  colormatch alone at most $(( peakColormatch / 1024 )) MiB (in a batch whose largest image has $peakColormatchPixels pixels)"
echo "descriptors: an engine at most $mostEngineFds ($mostEngineFdList);" \
  "colormatch at most $mostColormatchFds (with $mostColormatchEngines engines)"
if [ "${#failures[@]}" -eq 0 ]; then
  echo "failures: none"
  exit 0
fi
echo "failures by cause:"
for cause in "${!failures[@]}"; do echo "  $cause: ${failures[$cause]}"; done
printf '  %s\n' "${failureList[@]}"
exit 1
