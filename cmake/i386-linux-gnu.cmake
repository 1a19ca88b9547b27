# 32-bit x86 Linux build on an x86-64 Debian host (g++-multilib), run under
# user-mode emulation: `ctest` starts every test program through
# qemu-i386-static, and the programs can be started by hand the same way
# (qemu-i386-static ./prog).
#
# Arithmetic in SSE2 registers (not the x87 stack), as on every other
# target, so that results are the same to the last bit.  The compiler's
# runtime is linked statically; the C library is the i386 glibc that
# g++-multilib installs (libc6-i386), found by the emulator at its usual
# place (/lib/ld-linux.so.2).
#
# GoogleTest: Debian's libgtest-dev holds 64-bit libraries only, so the
# test suite builds GoogleTest from its source (KESTRUMR_GTEST_SOURCE).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32 -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

find_program(KESTRUMR_QEMU_I386 NAMES qemu-i386-static qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUMR_QEMU_I386})

if(NOT DEFINED KESTRUMR_GTEST_SOURCE AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(KESTRUMR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
endif()
