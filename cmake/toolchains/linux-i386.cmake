# Build for 32-bit x86 Linux with the build machine's GCC in -m32 mode
# (Debian's g++-multilib), the proof that the models' single-precision
# arithmetic holds on a 32-bit x86 target:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-i386.cmake
#
# Naming the system makes this a cross build, so GoogleTest is compiled from
# source (cmake/GoogleTest.cmake) instead of the installed 64-bit libraries,
# and cmake/Floating.cmake, keyed on the processor, adds the same SSE
# single-precision flags as the 32-bit Windows build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

# Libraries come from the 32-bit folders only (multilib's /usr/lib32), never
# the build machine's 64-bit ones.
set(FIND_LIBRARY_USE_LIB32_PATHS TRUE)
set(FIND_LIBRARY_USE_LIB64_PATHS FALSE)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# Test programs run under user-mode QEMU, which executes i386 code whatever
# the build machine's kernel allows (Debian's qemu-user).
find_program(ORV_QEMU_I386 NAMES qemu-i386 qemu-i386-static)
if(ORV_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_QEMU_I386})
endif()
