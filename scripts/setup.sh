#!/usr/bin/env bash
# Installs what the build needs from Debian's packages (only what is missing),
# then configures and builds matchengine in ./build. Sourced by test.sh and demo.sh.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qtbase5-dev          # Qt 5 Core: strings, byte arrays, command line, atomic file writes; Qt 5 Gui's QImage reads PNG files in the tests
  libopencv-dev        # OpenCV: image codecs, colour conversions, matrix work, OpenCL layer
  libtbb-dev           # oneTBB: the concurrent tasks of the colour statistics
  libexiv2-dev         # exiv2, for colormatch: the target's EXIF, XMP, IPTC and colour profile kept in the output
  liblcms2-dev         # Little CMS, for colormatch: colour profiles (the reference in the target's space, CMYK)
  libjpeg62-turbo-dev  # libjpeg: the engine decodes JPEGs in one checked pass; the JPEG writer (encoders/); CMYK reading
  libpng-dev           # libpng: the engine reads PNG headers as OpenCV's decoder does; the tests read PNGs back
  libtiff-dev          # libtiff: reads TIFF and BigTIFF headers, tiles and strips as the decoder does
  libwebp-dev          # libwebp: reads WebP headers as OpenCV's decoder reads them
  zlib1g-dev           # zlib: the deflate and checksums of the PNG writer (encoders/)
  libdeflate-dev       # libdeflate, for the benchmark only: one of the PNG encoders compared
  libgtest-dev         # GoogleTest, for the tests
  libopencolorio-dev   # OpenColorIO, for the tests: a real reader of the exported cube files
  ocl-icd-opencl-dev   # the OpenCL loader
  pocl-opencl-icd      # a CPU OpenCL device, so the OpenCL path runs without a GPU
  clang libclang-rt-14-dev  # the sanitizer build and the fuzz target
  libgimp2.0-dev       # libgimp 2.0 and gimpui, for the GIMP plug-in (gimp/)
  gimp                 # GIMP 2.10: gimp-console-2.10 runs the plug-in's tests headless
  xvfb                 # a screen in memory, for the picture of the plug-in's dialog (gimp/screenshot.sh)
)

source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
installMissingPackages "${packages[@]}"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MATCHENGINE_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --parallel "$(nproc)"
