#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows build, on a Debian 12 machine: installs the MinGW-w64 cross
# compilers and Wine, cross-builds a static prefix of the libraries the engine
# links from Debian's own source packages (cached, keyed by source version and
# recipe), cross-builds matchengine.exe and its tests into build-windows/ and runs
# the tests under Wine. With --package it also writes the zip a Windows host ships.
#
#   bash scripts/windows.sh [--package] [--no-tests]
#
# MATCHENGINE_WINDOWS_CACHE   where sources and the prefix are kept
#                             (default ~/.cache/matchengine-windows)
# MATCHENGINE_WINDOWS_BUILD_DIR  the engine's build folder (default ./build-windows)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${MATCHENGINE_WINDOWS_CACHE:-$HOME/.cache/matchengine-windows}"
build="${MATCHENGINE_WINDOWS_BUILD_DIR:-$root/build-windows}"
jobs=2
package=0
tests=1
for argument in "$@"; do
  case "$argument" in
    --package) package=1 ;;
    --no-tests) tests=0 ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "windows.sh: unknown option $argument (see --help)" >&2; exit 64 ;;
  esac
done
started=$SECONDS
qt_build=""
wine_started=0
killTree() {
  local child
  for child in $(pgrep -P "$1"); do killTree "$child"; done
  kill "$1" 2>/dev/null || true
}
# Nothing is left running: a library build beside the others, Wine's server.
cleanUp() {
  [ -z "$qt_build" ] || killTree "$qt_build"
  [ "$wine_started" -eq 0 ] || "$wineserver" -k 2>/dev/null || true
}
mkdir -p "$cache"
# One run at a time on a cache.
exec 9>"$cache/.lock"
flock -n 9 || { echo "windows.sh: another run is using $cache; waiting for it"; flock 9; }
say() { printf '== [%4ss] %s\n' "$((SECONDS - started))" "$*"; }

# ---------------------------------------------------------------- toolchain
packages=(
  cmake make pkg-config g++ ninja-build    # host side: CMake, Qt's qmake and moc are built for the host
  g++-mingw-w64-x86-64-posix   # the cross compilers, posix threads (std::thread, std::mutex)
  wine64                       # runs the Windows tests
  nasm                         # libjpeg-turbo's SIMD code
  dpkg-dev                     # dpkg-source unpacks Debian's source packages
  opencl-c-headers             # OpenCL headers for OpenCV's runtime loader (Debian's OpenCV source drops its copy)
  ca-certificates curl xz-utils zip ccache procps
)
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
installMissingPackages "${packages[@]}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
triplet=x86_64-w64-mingw32
toolchain="$root/cmake/mingw-w64.cmake"
# Qt's mkspec and some build systems call the unsuffixed compiler names: make
# them the posix ones without touching the system's alternatives.
mkdir -p "$cache/bin"
for tool in gcc g++ c++ cpp; do ln -sf "/usr/bin/$triplet-$tool-posix" "$cache/bin/$triplet-$tool"; done
export PATH="$cache/bin:$PATH"

# ---------------------------------------------------------------- sources
# A private apt state: the system's configuration is never touched.
apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
signed="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]"
cat >"$apt_dir/sources.list" <<EOF
deb-src $signed http://deb.debian.org/debian bookworm main
deb-src $signed http://deb.debian.org/debian bookworm-updates main
deb-src $signed http://deb.debian.org/debian-security bookworm-security main
EOF
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root -o Acquire::Retries=3)
if [ -z "$(find "$apt_dir/lists" -name '*Sources*' -mmin -1440 2>/dev/null | head -1)" ]; then
  say "reading Debian's source index"
  apt-get "${apt_options[@]}" update -qq
fi

# The newest version of a source package the archive really serves: the index
# can name a security update whose files are gone (404); then the one before.
declare -A version
resolveVersion() {
  local name="$1" candidate uri
  for candidate in $(apt-cache "${apt_options[@]}" showsrc --only-source "$name" |
      sed -n 's/^Version: //p' | sort -u | sort -r -V); do
    uri="$(apt-get "${apt_options[@]}" source --print-uris --only-source "$name=$candidate" 2>/dev/null |
      sed -n "s/^'\([^']*\.dsc\)'.*/\1/p")"
    if [ -n "$uri" ] && curl -sfIL --retry 3 "$uri" >/dev/null; then
      version[$name]="$candidate"
      return
    fi
    echo "windows.sh: $name $candidate is in the index but not served; trying the version before it" >&2
  done
  echo "windows.sh: no version of the source package $name can be downloaded" >&2
  exit 69
}

# Unpacks the source package into $1 (Debian's patches applied).
fetchSource() {
  local name="$1" into="$2" download="$cache/download/$1"
  rm -rf "$download" "$into"
  mkdir -p "$download"
  (cd "$download" && apt-get "${apt_options[@]}" source --download-only -qq --only-source "$name=${version[$name]}" >/dev/null)
  dpkg-source --no-check -x "$download"/*.dsc "$into" >/dev/null
  rm -rf "$download"
}

# ---------------------------------------------------------------- library recipes
# Each recipe builds the source in "$src" and installs it into "$dest", a
# prefix of its own that already holds the prefixes it needs ("$deps"). Only
# static libraries, only what the engine uses, no tests, tools or examples.
cmakeLibrary() {
  MATCHENGINE_WINDOWS_PREFIX="$deps" cmake -S "$src${subdir:-}" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$dest" \
    -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=OFF -Wno-dev "$@" >"$work/configure.log" 2>&1
  cmake --build "$work/build" --parallel "$jobs" >"$work/build.log" 2>&1
  cmake --install "$work/build" >"$work/install.log" 2>&1
}

recipe_zlib() {
  # Debian's zlib source has no Windows makefile; the library is a dozen C files.
  mkdir -p "$work/build" "$dest/include" "$dest/lib/pkgconfig"
  (cd "$work/build" && for file in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback \
      inffast inflate inftrees trees uncompr zutil; do "$triplet-gcc-posix" -O2 -c "$src/$file.c"; done &&
    "$triplet-ar" rcs libz.a ./*.o)
  cp "$src/zlib.h" "$src/zconf.h" "$dest/include/"
  cp "$work/build/libz.a" "$dest/lib/"
  printf 'prefix=%s\nName: zlib\nDescription: zlib\nVersion: 1.2.13\nLibs: -L${prefix}/lib -lz\nCflags: -I${prefix}/include\n' \
    "$dest" >"$dest/lib/pkgconfig/zlib.pc"
}
recipe_libpng1_6() {
  cmakeLibrary -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DSKIP_INSTALL_PROGRAMS=ON
}
recipe_libjpeg_turbo() {
  cmakeLibrary -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON \
    -DCMAKE_ASM_NASM_COMPILER=nasm
  rm -rf "$dest/bin" "$dest/share/man" "$dest/share/doc"
}
recipe_libwebp() {
  cmakeLibrary -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
    -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF -DWEBP_BUILD_WEBPINFO=OFF \
    -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF -DWEBP_BUILD_LIBWEBPMUX=OFF
}
recipe_tiff() {
  cmakeLibrary -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF \
    -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON -Dwebp=OFF -Dzstd=OFF -Dlzma=OFF -Djbig=OFF -Dlerc=OFF \
    -Dlibdeflate=OFF -Djpeg12=OFF -DCMAKE_DISABLE_FIND_PACKAGE_OpenGL=ON -DCMAKE_DISABLE_FIND_PACKAGE_GLUT=ON
  rm -rf "$dest/share/doc"
}
recipe_onetbb() {
  cmakeLibrary -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF -DTBB_ENABLE_IPO=OFF
  # The static package links Threads::Threads but forgets to look for it.
  sed -i '1i include(CMakeFindDependencyMacro)\nfind_dependency(Threads)' "$dest/lib/cmake/TBB/TBBConfig.cmake"
}
recipe_googletest() {
  cmakeLibrary -DBUILD_GMOCK=OFF -Dgtest_build_tests=OFF -Dgtest_disable_pthreads=OFF
}
recipe_qtbase_opensource_src() {
  # QtCore only, built with its host tools (qmake, moc, rcc) as CMake's Qt5Core package expects them.
  mkdir -p "$work/build"
  (cd "$work/build" && "$src/configure" -prefix "$dest" \
    -xplatform win32-g++ -device-option CROSS_COMPILE="$triplet-" -platform linux-g++ \
    -static -release -opensource -confirm-license -nomake tests -nomake examples \
    -no-gui -no-widgets -no-dbus -no-opengl -no-icu -no-openssl -no-sql-sqlite -no-sql-odbc \
    -qt-zlib -qt-pcre -qt-doubleconversion -no-zstd) >"$work/configure.log" 2>&1
  make -C "$work/build" -j"$jobs" sub-src-qmake_all >"$work/build.log" 2>&1
  make -C "$work/build/src" -j"$jobs" sub-corelib sub-winmain >>"$work/build.log" 2>&1
  make -C "$work/build/src" sub-corelib-install_subtargets sub-winmain-install_subtargets \
    sub-moc-install_subtargets sub-rcc-install_subtargets >"$work/install.log" 2>&1
  make -C "$work/build" sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs >>"$work/install.log" 2>&1
}
recipe_opencv() {
  # Debian's source has no 3rdparty/ folder: the OpenCL headers come from
  # opencl-c-headers, copied because OpenCV drops include folders ending in /usr/include.
  mkdir -p "$work/opencl"
  cp -r /usr/include/CL "$work/opencl/"
  # TBB, as in Debian's build, runs cv::parallel_for_ (MinGW has no other backend).
  # CV_GEMM_BASELINE_ONLY: the matrix products take the path Debian's LAPACK
  # build takes, so that results match the Linux build's to the bit.
  cmakeLibrary -DBUILD_LIST=core,imgproc,imgcodecs -DCMAKE_CXX_FLAGS=-DCV_GEMM_BASELINE_ONLY \
    -DOPENCL_INCLUDE_DIR="$work/opencl" -DWITH_OPENCL=ON -DWITH_OPENCL_SVM=OFF \
    -DWITH_OPENCLAMDFFT=OFF -DWITH_OPENCLAMDBLAS=OFF -DWITH_OPENCL_D3D11_NV=OFF -DWITH_DIRECTX=OFF \
    -DWITH_PNG=ON -DWITH_JPEG=ON -DWITH_TIFF=ON -DWITH_WEBP=ON -DBUILD_ZLIB=OFF -DBUILD_PNG=OFF \
    -DBUILD_JPEG=OFF -DBUILD_TIFF=OFF -DBUILD_WEBP=OFF -DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF \
    -DWITH_OPENEXR=OFF -DWITH_GDAL=OFF -DWITH_GDCM=OFF -DWITH_IMGCODEC_HDR=ON -DWITH_IMGCODEC_SUNRASTER=ON \
    -DWITH_IMGCODEC_PXM=ON -DWITH_IMGCODEC_PFM=ON -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_TBB=ON \
    -DWITH_OPENMP=OFF -DWITH_EIGEN=OFF -DWITH_LAPACK=OFF -DWITH_PROTOBUF=OFF -DWITH_ADE=OFF -DWITH_QUIRC=OFF \
    -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF -DWITH_DSHOW=OFF -DWITH_MSMF=OFF -DWITH_WIN32UI=OFF \
    -DWITH_VTK=OFF -DWITH_CUDA=OFF -DWITH_VA=OFF -DWITH_1394=OFF -DWITH_QT=OFF -DWITH_GTK=OFF \
    -DWITH_IMGCODEC_GIF=OFF -DWITH_AVIF=OFF -DWITH_SPNG=OFF -DWITH_CAROTENE=OFF -DWITH_OBSENSOR=OFF \
    -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF -DBUILD_opencv_apps=OFF \
    -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF \
    -DBUILD_WITH_STATIC_CRT=OFF -DOPENCV_ENABLE_NONFREE=OFF -DINSTALL_CREATE_DISTRIB=OFF \
    -DOPENCV_BIN_INSTALL_PATH=bin -DOPENCV_LIB_INSTALL_PATH=lib -DOPENCV_CONFIG_INSTALL_PATH=lib/cmake/opencv4 \
    -DOPENCV_3P_LIB_INSTALL_PATH=lib -DOPENCV_LICENSES_INSTALL_PATH=share/licenses/opencv4 \
    -DOPENCV_OTHER_INSTALL_PATH=share/opencv4 -DOPENCV_INCLUDE_INSTALL_PATH=include/opencv4
  # OpenCV's static package names TBB as a bare "tbb" for its users' link lines.
  ln -f "$dest/lib/libtbb12.a" "$dest/lib/libtbb.a"
}

# name of the source package, then the ones its build needs
libraries=(
  "zlib"
  "libpng1.6 zlib"
  "libjpeg-turbo"
  "libwebp"
  "tiff zlib libjpeg-turbo"
  "onetbb"
  "googletest"
  "qtbase-opensource-src"
  "opencv zlib libpng1.6 libjpeg-turbo libwebp tiff onetbb"
)

declare -A key
# The key of a build: the source version, the recipe, the toolchain file and
# the keys of what it builds on.
computeKey() {
  local name="$1" dependency; shift
  key[$name]="$( { echo "$name ${version[$name]}"; declare -f "recipe_${name//[.-]/_}" cmakeLibrary; cat "$toolchain"
    for dependency in "$@"; do echo "${key[$dependency]}"; done; } | sha256sum | cut -c1-16)"
}
buildLibrary() {
  local name="$1"; shift
  local recipe="recipe_${name//[.-]/_}" dependency
  dest="$cache/prefix/$name-${key[$name]}"
  [ -e "$dest/.complete" ] && return
  say "building $name ${version[$name]}"
  local begun=$SECONDS
  work="$cache/work/$name"
  rm -rf "$work" "$dest"
  mkdir -p "$work"
  # What it builds on is hard-linked into its own prefix first: the paths a
  # static library's CMake package records then stay valid.
  deps="$dest"
  mkdir -p "$deps"
  for dependency in "$@"; do cp -rlf "$cache/prefix/$dependency-${key[$dependency]}/." "$deps/"; done
  rm -f "$deps/.complete"
  src="$work/src"
  fetchSource "$name" "$src"
  set +e
  (set -e; "$recipe")
  local status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    echo "windows.sh: building $name failed; its logs are in $work" >&2
    tail -n 30 "$work"/*.log >&2 || true
    exit 70
  fi
  mkdir -p "$dest/share/licences"
  cp "$src/debian/copyright" "$dest/share/licences/$name.copyright"
  touch "$dest/.complete"
  # Older builds of the same library are of no use any more.
  find "$cache/prefix" -maxdepth 1 -name "$name-*" ! -name "$name-${key[$name]}" -exec rm -rf {} +
  rm -rf "$work"
  say "built $name in $((SECONDS - begun)) s"
}

for entry in "${libraries[@]}"; do
  # shellcheck disable=SC2086
  set -- $entry
  resolveVersion "$1"
done
for entry in "${libraries[@]}"; do
  # shellcheck disable=SC2086
  computeKey $entry
done
# QtCore needs none of the others and takes longest: it builds beside them.
buildLibrary qtbase-opensource-src &
qt_build=$!
trap cleanUp EXIT
for entry in "${libraries[@]}"; do
  # shellcheck disable=SC2086
  [ "$entry" = qtbase-opensource-src ] || buildLibrary $entry
done
wait "$qt_build"
qt_build=""

# The merged prefix the engine builds against (hard links, no copies).
whole="$cache/prefix/all-$(for entry in "${libraries[@]}"; do set -- $entry; echo "${key[$1]}"; done | sha256sum | cut -c1-16)"
if [ ! -e "$whole/.complete" ]; then
  rm -rf "$whole"
  mkdir -p "$whole"
  for entry in "${libraries[@]}"; do set -- $entry; cp -rlf "$cache/prefix/$1-${key[$1]}/." "$whole/"; done
  rm -f "$whole/.complete"
  find "$cache/prefix" -maxdepth 1 -name 'all-*' ! -path "$whole" -exec rm -rf {} +
  touch "$whole/.complete"
fi
for entry in "${libraries[@]}"; do set -- $entry; echo "$1 ${version[$1]}"; done >"$whole/versions.txt"
say "prefix ready: $(tr '\n' ',' <"$whole/versions.txt" | sed 's/,$//; s/,/, /g')"

# ---------------------------------------------------------------- the engine
export MATCHENGINE_WINDOWS_PREFIX="$whole" CCACHE_DIR="$cache/ccache"
# A build folder made against another prefix starts afresh.
if [ -e "$build/CMakeCache.txt" ] && [ "$(cat "$build/prefix.txt" 2>/dev/null)" != "$whole" ]; then
  rm -rf "$build"
fi
mkdir -p "$build"
echo "$whole" >"$build/prefix.txt"
say "building matchengine.exe and its tests"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# -static as in the toolchain file; -L: OpenCV's static package asks for TBB as a bare -ltbb.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_EXE_LINKER_FLAGS="-static -L$whole/lib" "${launcher[@]}" >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 70; }
cmake --build "$build" --parallel "$jobs"
exe="$build/bin/matchengine.exe"
imports="$("$triplet-objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort -f | tr '\n' ' ')"
say "built $exe ($(du -k "$exe" | cut -f1) KiB), importing only $imports"

# ---------------------------------------------------------------- tests under Wine
if [ "$tests" -eq 1 ]; then
  # A Wine of our own: no display, no Mono or Gecko prompts, no OpenCL (the
  # host's OpenCL driver reached through Wine is not what a Windows machine has).
  export WINEPREFIX="$cache/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;opencl=d"
  unset DISPLAY WAYLAND_DISPLAY
  # One wine server for every test process: a cold start costs seconds each.
  # The server needs the prefix's folder; the first program fills it.
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p
  wine_started=1
  trap cleanUp EXIT
  "$wine" cmd /c exit >/dev/null 2>&1 || true
  say "running the Windows tests under Wine"
  (cd "$build" && ctest --output-on-failure --parallel "$jobs" --timeout 900)

  # What a host on Windows receives must be the Linux build's bytes for the
  # same requests: the same result, unwrapped LUT and cube (the cube in CR LF),
  # the result on standard output whatever position 4 says.
  linux="${MATCHENGINE_BUILD_DIR:-$root/build}/bin/matchengine"
  if [ -x "$linux" ]; then
    say "comparing with the Linux build's results"
    compare="$(mktemp -d)"
    int32() { perl -e 'print pack("N", $ARGV[0])' "$1"; }
    { int32 0; int32 "$(stat -c %s "$root/examples/chelsea.png")"; cat "$root/examples/chelsea.png"
      int32 "$(stat -c %s "$root/examples/rocket.jpg")"; cat "$root/examples/rocket.jpg"; } >"$compare/request"
    b64() { printf %s "$1" | base64 -w0; }
    for format in png jpg; do
      "$linux" host 1 run none none off off 16 "$format" 1 none <"$compare/request" >"$compare/linux.$format" 2>/dev/null
      "$wine" "$exe" host 1 run "$(b64 "Z:$compare/ignored.$format")" none off off 16 "$format" 1 none \
        <"$compare/request" >"$compare/windows.$format" 2>"$compare/windows.err"
      cmp -s "$compare/linux.$format" "$compare/windows.$format" ||
        { echo "windows.sh: the $format result differs from the Linux build's" >&2; exit 1; }
      [ ! -e "$compare/ignored.$format" ] || { echo "windows.sh: position 4 was honoured" >&2; exit 1; }
      for byte in 0a 1a; do
        [ "$(od -An -v -tx1 "$compare/windows.$format" | grep -c " $byte")" -gt 0 ] ||
          { echo "windows.sh: the $format result holds no byte 0x$byte to prove binary mode" >&2; exit 1; }
      done
      if grep -qv $'\r$' "$compare/windows.err"; then
        echo "windows.sh: a line on standard error does not end in CR LF" >&2; exit 1
      fi
    done
    "$linux" host 1 run none "$(b64 "$compare/linux")" off off 33 png 1 none <"$compare/request" >/dev/null 2>&1
    "$wine" "$exe" host 1 run none "$(b64 "Z:$compare/windows")" off off 33 png 1 none <"$compare/request" >/dev/null 2>&1
    cmp -s "$compare/linux_unwrapped.png" "$compare/windows_unwrapped.png" ||
      { echo "windows.sh: the unwrapped LUT differs from the Linux build's" >&2; exit 1; }
    if grep -qv $'\r$' "$compare/windows_cube.cube"; then
      echo "windows.sh: a line of the cube does not end in CR LF" >&2; exit 1
    fi
    tr -d '\r' <"$compare/windows_cube.cube" | cmp -s - "$compare/linux_cube.cube" ||
      { echo "windows.sh: the cube, CR LF aside, differs from the Linux build's" >&2; exit 1; }
    rm -rf "$compare"
    say "compared with the Linux build: the same result, LUT and cube bytes (the cube in CR LF), binary results, standard error in CR LF, position 4 ignored"
  else
    say "no Linux build at $linux: the comparison with its results is left out"
  fi
fi

# ---------------------------------------------------------------- the package
if [ "$package" -eq 1 ]; then
  version_number="$(sed -n 's/^project(matchengine VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
  name="matchengine-$version_number-windows-x64"
  stage="$build/package/$name"
  rm -rf "$build/package"
  mkdir -p "$stage/licences"
  cmake --install "$build" --prefix "$stage" >/dev/null
  cp "$whole"/share/licences/*.copyright "$stage/licences/"
  rm "$stage/licences/googletest.copyright"  # the tests only
  # The C++ runtime and winpthreads are linked in too.
  cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/gcc-mingw-w64.copyright"
  cp /usr/share/doc/mingw-w64-common/copyright "$stage/licences/mingw-w64.copyright"
  cp "$whole/versions.txt" "$stage/licences/source-versions.txt"
  (cd "$build/package" && zip -qr "../$name.zip" "$name")
  say "package: $build/$name.zip"
fi
say "done"
