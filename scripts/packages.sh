#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# installMissingPackages NAME...: installs, with apt-get (as root or through
# sudo), those of the named Debian packages that are not installed yet.
# Sourced by setup.sh, windows.sh and debian13.sh.
installMissingPackages() {
  local missing=() name sudo=""
  for name in "$@"; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' || missing+=("$name")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

# projectPackages RELEASE: sets `packages` to what the project needs on that
# Debian release, named by its codename (bookworm is Debian 12, trixie 13).
projectPackages() {
  packages=(
    cmake g++ make pkg-config
    qtbase5-dev          # Qt 5 Core: strings, byte arrays, command line, atomic file writes; Qt 5 Gui's QImage reads PNG files in the tests
    libopencv-dev        # OpenCV: image codecs, colour conversions, matrix work, OpenCL layer
    libtbb-dev           # oneTBB: the concurrent tasks of the colour statistics
    libexiv2-dev         # exiv2, for colormatch: the target's EXIF, XMP, IPTC and colour profile kept in the output
    liblcms2-dev         # Little CMS, for colormatch and the plug-in: colour profiles (the reference in the target's space, CMYK)
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
    clang                # the sanitizer build and the fuzz target (its runtime below)
    gimp                 # GIMP (2.10 on Debian 12, 3.0 on 13): gimp-console runs the plug-in's tests headless
    xvfb                 # a screen in memory, for the picture of the plug-in's dialog (gimp/screenshot.sh)
    ffmpeg               # the soak run (bench/soak.sh): its generated inputs and the decoding of results; lut3d, a second reader of cubes
    parallel             # GNU parallel, for the tests: the README's batch recipe run for real
  )
  case "$1" in
    bookworm)
      packages+=(
        libclang-rt-14-dev   # clang 14's sanitizer and fuzzer runtime
        libgimp2.0-dev       # libgimp 2.0 and gimpui, for the GIMP 2.10 plug-in (gimp/)
      ) ;;
    *)
      packages+=(
        libclang-rt-19-dev   # clang 19's sanitizer and fuzzer runtime
        libgimp-3.0-dev      # libgimp 3.0 and gimpui, for the GIMP 3 plug-in (gimp/)
      ) ;;
  esac
}
