# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads),
# against the static prefix that scripts/windows.sh builds. The prefix comes in
# through the environment so that CMake's own test projects see it too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR /usr/bin/x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/x86_64-w64-mingw32-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(DEFINED ENV{MATCHENGINE_WINDOWS_PREFIX})
  list(PREPEND CMAKE_FIND_ROOT_PATH "$ENV{MATCHENGINE_WINDOWS_PREFIX}")
  list(PREPEND CMAKE_PREFIX_PATH "$ENV{MATCHENGINE_WINDOWS_PREFIX}")
  # pkg-config sees the prefix alone, never the host's .pc files.
  set(ENV{PKG_CONFIG_LIBDIR} "$ENV{MATCHENGINE_WINDOWS_PREFIX}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
# Static libraries bring their private dependencies.
set(PKG_CONFIG_ARGN --static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static libraries only: never an import library of a DLL that would have to ship.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
# One self-contained exe: the C++ runtime and winpthreads linked in, not shipped as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Test programs (GoogleTest discovery, ctest) run under Wine.
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
