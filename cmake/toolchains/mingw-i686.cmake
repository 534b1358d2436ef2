# Cross build for 32-bit Windows (the plug-ins' real target) with Debian's
# MinGW-w64 GCC:  cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake
#
# "x86" is what CMake reports on 32-bit Windows; cmake/Floating.cmake keys the
# SSE single-precision flags on it.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ORV_MINGW_TRIPLE i686-w64-mingw32)
set(ORV_MINGW_GCC_DLL libgcc_s_dw2-1.dll)
# Its programs run under 32-bit Wine in the runtime that tools/setup.sh
# prepares; tools/win32_run.sh runs one of them.
get_filename_component(ORV_MINGW_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../tools/win32_run.sh
                       ABSOLUTE)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
