# Cross build for 64-bit Windows with Debian's MinGW-w64 GCC; the build that
# runs its tests under wine64:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x64.cmake
#
# "AMD64" is what CMake reports on 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ORV_MINGW_TRIPLE x86_64-w64-mingw32)
set(ORV_MINGW_GCC_DLL libgcc_s_seh-1.dll)
# Debian keeps wine64 out of PATH. A build with tests replaces this emulator
# with the wrapper of cmake/WineRun.cmake, which also gives the tests their
# own Wine prefix.
set(ORV_MINGW_WINE wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
