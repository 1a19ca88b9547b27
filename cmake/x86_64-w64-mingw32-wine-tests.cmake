# 64-bit Windows build of test programs, run by ctest under wine64.
#
# The same cross compiler as cmake/x86_64-w64-mingw32.cmake, in its POSIX
# threads variant (GoogleTest needs std::mutex, which the default win32
# threads variant lacks), GoogleTest built from its source, programs linked
# statically, and every test started through wine64 with a prefix of its
# own (WINEPREFIX may be set beforehand to use another one).
include(${CMAKE_CURRENT_LIST_DIR}/x86_64-w64-mingw32.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(NOT DEFINED KESTRUMR_GTEST_SOURCE AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(KESTRUMR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
endif()
if(DEFINED ENV{WINEPREFIX})
  set(_wineprefix $ENV{WINEPREFIX})
else()
  set(_wineprefix ${CMAKE_BINARY_DIR}/wineprefix)
endif()
find_program(KESTRUMR_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KESTRUMR_WINE64 NAMES wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env WINEPREFIX=${_wineprefix} WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
    ${KESTRUMR_WINE64})
