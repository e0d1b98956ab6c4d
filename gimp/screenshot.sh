#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The picture of the Match Colours dialog in README.md: GIMP on a screen in
# memory (Xvfb) opens the bundled photographs and starts the plug-in
# interactively; ImageMagick's import takes the dialog's window.
#   bash gimp/screenshot.sh BUILD_DIR OUTPUT.png [2|3]
# 2 (the default) shows GIMP 2.10's dialog, 3 GIMP 3's (with its preview).
# Needs xvfb besides GIMP, and x11-utils (xwininfo) with imagemagick, or else
# Python's GTK bindings (python3-gi, which GIMP 3 brings along).
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
# The window named "Match Colours" taken from the screen, through libX11 and
# GDK where xwininfo and import are missing.
cat >"$work/capture.py" <<'PYTHON'
import ctypes, sys, time
import gi
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk
x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 4
x11.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
x11.XGetGeometry.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 7
x11.XTranslateCoordinates.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int,
                                      ctypes.c_int] + [ctypes.c_void_p] * 3
display = x11.XOpenDisplay(None)
root = x11.XDefaultRootWindow(display)
def find(window):
    name = ctypes.c_char_p()
    if x11.XFetchName(display, window, ctypes.byref(name)) and name.value == sys.argv[1].encode():
        return window
    parent, top, children, count = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
    x11.XQueryTree(display, window, ctypes.byref(top), ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count))
    for i in range(count.value):
        found = find(children[i])
        if found:
            return found
    return 0
for _ in range(480):
    window = find(root)
    if window:
        break
    time.sleep(0.5)
time.sleep(6)  # let the dialog and its preview draw themselves
r, x, y = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_int()
width, height, border, depth = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
x11.XGetGeometry(display, window, ctypes.byref(r), ctypes.byref(x), ctypes.byref(y), ctypes.byref(width),
                 ctypes.byref(height), ctypes.byref(border), ctypes.byref(depth))
child = ctypes.c_ulong()
x11.XTranslateCoordinates(display, window, root, 0, 0, ctypes.byref(x), ctypes.byref(y), ctypes.byref(child))
Gdk.init([])
picture = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x.value, y.value, width.value, height.value)
picture.savev(sys.argv[2], "png", ["compression"], ["9"])
PYTHON
# A screen in memory (Xvfb itself: xvfb-run needs xauth, which not every
# system has), then GIMP on it.
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
export DISPLAY=":$(cat "$work/display")"
"${gimp[@]}" -s -d -f --gimprc "$work/gimprc" -b "$batch" >"$work/gimp.log" 2>&1 &
gimp_process=$!
if command -v import >/dev/null && command -v xwininfo >/dev/null; then
  for _ in $(seq 240); do
    xwininfo -name "Match Colours" >/dev/null 2>&1 && break
    sleep 0.5
  done
  sleep 4  # let the dialog and its preview draw themselves
  import -window "Match Colours" "$output"
else
  python3 "$work/capture.py" "Match Colours" "$output"
fi
kill "$gimp_process"
echo "wrote $output"
