# Cross build for 64-bit Windows with Debian's MinGW-w64, posix thread model
# (package g++-mingw-w64-x86-64-posix). Test programs run under Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# VANTREL_WINEPREFIX: the Wine prefix the tests run in (default: BUILD_DIR/wine). It must be
# booted once before the tests (scripts/test-windows.sh does it, and so does the CTest
# fixture wine_prefix).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTREL_MINGW_TRIPLE x86_64-w64-mingw32)
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

# CTest runs the Windows programs unchanged through Wine: the 64-bit loader directly, no
# debug channels, no .NET or Gecko installer prompts.
find_program(VANTREL_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT VANTREL_WINE64)
  set(VANTREL_WINE64 /usr/lib/wine/wine64)
endif()
set(VANTREL_WINEPREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Wine prefix for the test runs")
set(CMAKE_CROSSCOMPILING_EMULATOR
  /usr/bin/env
  WINEPREFIX=${VANTREL_WINEPREFIX}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=
  ${VANTREL_WINE64})
