# What the two MinGW-w64 toolchain files share (mingw-w64.cmake for x64, mingw-w64-i686.cmake
# for x86): Debian's compilers of the posix thread model, a static compiler run time, and the
# Wine loader CTest runs the test programs with. The including file sets
# VANTREL_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and VANTREL_WINE_LOADER first.
#
# VANTREL_WINEPREFIX: the Wine prefix the tests run in (default: BUILD_DIR/wine). It must be
# booted once before the tests (scripts/test-windows.sh does it, and so does the CTest
# fixture wine_prefix).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VANTREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTREL_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${VANTREL_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for PE files")

# Only the MinGW sysroot (and roots given with -DCMAKE_FIND_ROOT_PATH, e.g. an installed
# Vantrel) is searched for headers, libraries and packages: nothing from the build machine's
# /usr/include or /usr/lib may leak into a Windows binary.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VANTREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's run time goes inside every binary: libgcc and libstdc++ explicitly, and
# -static makes the linker take libwinpthread.a too. vantrel.dll then needs nothing from the
# compiler at run time, only system DLLs and libpq.dll (linked by path, which -static leaves
# alone).
set(VANTREL_MINGW_STATIC_RUNTIME "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${VANTREL_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${VANTREL_MINGW_STATIC_RUNTIME}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${VANTREL_MINGW_STATIC_RUNTIME}")

# CTest runs the Windows programs unchanged through Wine: the architecture's own loader
# directly, no debug channels, no .NET or Gecko installer prompts.
set(VANTREL_WINE /usr/lib/wine/${VANTREL_WINE_LOADER})
set(VANTREL_WINEPREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Wine prefix for the test runs")
set(CMAKE_CROSSCOMPILING_EMULATOR
  /usr/bin/env
  WINEPREFIX=${VANTREL_WINEPREFIX}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=
  ${VANTREL_WINE})
