# Cross build for 64-bit Windows with Debian's MinGW-w64, posix thread model
# (package g++-mingw-w64-x86-64-posix). Test programs run under 64-bit Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VANTREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(VANTREL_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
