# Cross build for 32-bit (x86) Windows with Debian's MinGW-w64, posix thread model
# (package g++-mingw-w64-i686-posix). Test programs run under 32-bit Wine (wine32:i386).
#
#   cmake -S . -B build-windows-x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake

set(CMAKE_SYSTEM_PROCESSOR x86)
set(VANTREL_MINGW_TRIPLE i686-w64-mingw32)
set(VANTREL_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
