# What the two MinGW-w64 toolchain files share. The including file sets
# CMAKE_SYSTEM_PROCESSOR, ORV_MINGW_TRIPLE, ORV_MINGW_GCC_DLL (the libgcc DLL
# of that target) and ORV_MINGW_WINE (the Wine program that runs its tests)
# or ORV_MINGW_EMULATOR (a script that runs one of its programs).
#
# The "-posix" compiler variant is used: GCC 12's "-win32" variant has no
# std::mutex or std::condition_variable, which GoogleTest needs, and host and
# plug-ins must share one libstdc++-6.dll. The C++ runtime stays a set of DLLs
# (the import libraries are found before the static ones); the program that
# loads a plug-in ships them beside it, see ORV_MINGW_RUNTIME_DLLS.
set(CMAKE_SYSTEM_NAME Windows)
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
foreach(dll libstdc++-6.dll ${ORV_MINGW_GCC_DLL} libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${path}" AND EXISTS "${path}")
    get_filename_component(path "${path}" REALPATH)
    list(APPEND ORV_MINGW_RUNTIME_DLLS "${path}")
  endif()
endforeach()

# A toolchain may name its own program runner (ORV_MINGW_EMULATOR) instead.
if(ORV_MINGW_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_MINGW_EMULATOR})
  return()
endif()
find_program(ORV_WINE NAMES ${ORV_MINGW_WINE} PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ORV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all ${ORV_WINE})
endif()
