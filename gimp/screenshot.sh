#!/usr/bin/env bash
# The picture of the Match Colours dialog in README.md: GIMP on a screen in
# memory (Xvfb) opens the bundled photographs and starts the plug-in
# interactively; ImageMagick's import takes the dialog's window.
#   bash gimp/screenshot.sh BUILD_DIR OUTPUT.png [2|3]
# 2 (the default) shows GIMP 2.10's dialog, 3 GIMP 3's (with its preview).
# Needs xvfb, x11-utils (xwininfo) and imagemagick besides GIMP.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:?build folder}" && pwd)"
output="$(realpath -m "${2:?output PNG}")"
major="${3:-2}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
mkdir -p "$work/gimp/gradients"
plugins="$work/prefix/lib/gimp/2.0/plug-ins"
[ "$major" = 3 ] && plugins="$work/prefix/lib/gimp/3.0/plug-ins"
echo "(plug-in-path \"\${gimp_plug_in_dir}/plug-ins:$plugins\")" >"$work/gimprc"
export HOME="$work/gimp" GIMP2_DIRECTORY="$work/gimp" GIMP3_DIRECTORY="$work/gimp" XDG_CONFIG_HOME="$work/gimp" \
  XDG_CACHE_HOME="$work/gimp" XDG_DATA_HOME="$work/gimp"
examples="$root/examples"
if [ "$major" = 3 ]; then
  gimp=(gimp-3.0 --batch-interpreter=plug-in-script-fu-eval)
  batch="(script-fu-use-v3)
         (let* ((image (gimp-file-load RUN-NONINTERACTIVE \"$examples/chelsea.png\"))
                (reference (gimp-file-load RUN-NONINTERACTIVE \"$examples/coffee.png\")))
           (gimp-display-new reference) (gimp-display-new image)
           (plug-in-match-colours #:run-mode RUN-INTERACTIVE #:image image
             #:drawables (gimp-image-get-layers image) #:reference \"$examples/coffee.png\"))"
else
  gimp=(gimp)
  batch="(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE \"$examples/chelsea.png\" \"chelsea.png\")))
                 (reference (car (gimp-file-load RUN-NONINTERACTIVE \"$examples/coffee.png\" \"coffee.png\"))))
            (gimp-display-new reference) (gimp-display-new image)
            (plug-in-match-colours RUN-INTERACTIVE image (car (gimp-image-get-active-layer image)) \"\" 1.0 0))"
fi
xvfb-run -a -s "-screen 0 1280x900x24" bash -c '
  "${@:4}" -s -d -f --gimprc "$0" -b "$1" >"$3/gimp.log" 2>&1 &
  gimp=$!
  for _ in $(seq 240); do
    xwininfo -name "Match Colours" >/dev/null 2>&1 && break
    sleep 0.5
  done
  sleep 4  # let the dialog and its preview draw themselves
  import -window "Match Colours" "$2"
  kill "$gimp"' "$work/gimprc" "$batch" "$output" "$work" "${gimp[@]}"
echo "wrote $output"
