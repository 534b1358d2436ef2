# Cross build for 32-bit Windows (the plug-ins' real target) with Debian's
# MinGW-w64 GCC:  cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake
#
# The "-posix" compiler variant is used: GCC 12's "-win32" variant has no
# std::mutex or std::condition_variable, which GoogleTest needs, and host and
# plug-ins must share one libstdc++-6.dll. The C++ runtime stays a set of DLLs
# (the import libraries are found before the static ones); the program that
# loads a plug-in ships them beside it, see ORV_MINGW_RUNTIME_DLLS.
set(CMAKE_SYSTEM_NAME Windows)
# "x86" is what CMake reports on 32-bit Windows; cmake/Floating.cmake keys the
# SSE single-precision flags on it.
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ORV_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ORV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORV_MINGW_TRIPLE}-windres)

# Headers and libraries come from the target's sysroot only; programs (code
# generators, test runners) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime DLLs that every program and plug-in of this build imports, as
# the compiler itself locates them.
set(ORV_MINGW_RUNTIME_DLLS "")
foreach(dll libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${path}" AND EXISTS "${path}")
    get_filename_component(path "${path}" REALPATH)
    list(APPEND ORV_MINGW_RUNTIME_DLLS "${path}")
  endif()
endforeach()

# Test programs run under Wine. Running 32-bit programs needs Debian's
# wine32:i386 package; without it the i686 build can be built but not tested.
find_program(ORV_WINE NAMES wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ORV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all ${ORV_WINE})
endif()
