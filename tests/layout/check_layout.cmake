# The library's source list, version and floating-point flags are each
# written once, and everything that builds the library reads them there:
#   - every .cpp file under lib/ is listed in lib/sources.txt, and every
#     line of the list names a file that exists;
#   - the version macros of include/kestrumr_session.h agree with each other,
#     with the project's version and with the newest entry of CHANGELOG.md,
#     and the host packages' metadata carry no version of their own;
#   - no build file but lib/fp-flags.txt spells out the floating-point flags;
#   - the command-line front end (cli/) includes the public headers
#     (include/kestrumr*.h) and its own files only;
#   - the library's code calls none of the platform's transcendental
#     functions (they differ between C libraries in the last bit): it has
#     the portable, correctly rounded ones of lib/common/pmath.h.
# Usage: cmake -DSOURCE_DIR=... -DPROJECT_VERSION=... [-DSOURCES=list]
#              [-DCLI_DIR=dir] [-DLIB_DIR=dir] -P check_layout.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCES)
  set(SOURCES ${SOURCE_DIR}/lib/sources.txt)
endif()
if(NOT CLI_DIR)
  set(CLI_DIR ${SOURCE_DIR}/cli)
endif()
if(NOT LIB_DIR)
  set(LIB_DIR ${SOURCE_DIR}/lib)
endif()
set(problems "")

file(GLOB_RECURSE found RELATIVE ${SOURCE_DIR}/lib ${SOURCE_DIR}/lib/*.cpp)
file(STRINGS ${SOURCES} lines)
set(listed "")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line AND NOT line MATCHES "^#")
    list(APPEND listed ${line})
    if(NOT EXISTS ${SOURCE_DIR}/lib/${line})
      list(APPEND problems "lib/sources.txt names lib/${line}, which does not exist")
    endif()
  endif()
endforeach()
foreach(f IN LISTS found)
  if(NOT f IN_LIST listed)
    list(APPEND problems "lib/${f} is not in lib/sources.txt")
  endif()
endforeach()

include(${SOURCE_DIR}/cmake/header_version.cmake)
kestrumr_header_version(${SOURCE_DIR}/include/kestrumr_session.h header)
if(NOT header STREQUAL PROJECT_VERSION)
  list(APPEND problems "the project's version ${PROJECT_VERSION} is not the header's ${header}")
endif()
file(STRINGS ${SOURCE_DIR}/CHANGELOG.md newest REGEX "^## [0-9]" LIMIT_COUNT 1)
if(NOT newest MATCHES "^## ${header}( |$)")
  list(APPEND problems "CHANGELOG.md's newest entry is \"${newest}\", not ${header}")
endif()
foreach(entry "r/DESCRIPTION|^Version:"
             "python/pyproject.toml|^version *="
             "python/kestrumr/__init__.py|^__version__ *= *[\"']")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 file)
  list(GET entry 1 pattern)
  file(STRINGS ${SOURCE_DIR}/${file} hits REGEX "${pattern}")
  if(hits)
    list(APPEND problems "${file} carries a version of its own (${hits}): it is read from the library")
  endif()
endforeach()

file(GLOB build_files ${SOURCE_DIR}/CMakeLists.txt ${SOURCE_DIR}/python/setup.py
     ${SOURCE_DIR}/r/configure ${SOURCE_DIR}/scripts/*.sh)
foreach(f IN LISTS build_files)
  file(STRINGS ${f} hits REGEX "-ffp-contract|-fno-fast-math|-mfpmath")
  if(hits)
    list(APPEND problems "${f} spells out floating-point flags: they belong in lib/fp-flags.txt")
  endif()
endforeach()

file(GLOB cli_files ${CLI_DIR}/*.cpp ${CLI_DIR}/*.h)
foreach(f IN LISTS cli_files)
  file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" included "${line}")
    if(NOT included MATCHES "^cli/" AND NOT included MATCHES "^kestrumr[a-z_]*[.]h$")
      list(APPEND problems "${f} includes \"${included}\": the front end uses the public headers only")
    endif()
  endforeach()
endforeach()

file(GLOB_RECURSE lib_files ${LIB_DIR}/*.cpp ${LIB_DIR}/*.h)
set(platform_math "std::(log|log2|exp|exp2|expm1|log1p|pow|cbrt|sin|cos|tan|asin|acos|atan|atan2|sinh|cosh|tanh|hypot|lgamma|tgamma|erf|erfc)[ \t]*[(]")
foreach(f IN LISTS lib_files)
  file(STRINGS ${f} hits REGEX "${platform_math}")
  if(hits)
    list(APPEND problems "${f} calls the platform's mathematical functions (${hits}): use lib/common/pmath.h")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "layout check:\n  ${text}")
endif()
list(LENGTH listed n)
message(STATUS "layout: ${n} library sources listed, version ${header}, one list of floating-point flags")
