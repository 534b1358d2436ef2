# Cross build of the MSVC-ABI flavour for 32-bit Windows: the plug-ins whose
# driver table speaks the C++ ABI of a host built with Microsoft's compiler
# (ORV_TABLE_ABI=msvc, set by the msvc-abi-i686 preset). Compiled with the same
# MinGW-w64 GCC as mingw-i686.
#
# None of GCC's own types cross this table, so its runtime (libgcc, libstdc++,
# winpthread) is linked statically: the DLLs stand alone, importing only
# Windows system DLLs and msvcrt.dll, and ucrtbase.dll is bound at run time
# for the host's heap.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(ORV_MINGW_RUNTIME_DLLS "")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
