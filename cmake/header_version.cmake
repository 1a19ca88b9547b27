# kestrumr_header_version(HEADER OUT): MAJOR.MINOR.PATCH from the version
# macros of the session header, the one place the version is written.  Fails
# the configuration when the macros are missing or KESTRUMR_VERSION_STRING
# says something else.
function(kestrumr_header_version header out)
  file(STRINGS ${header} lines REGEX "^#define KESTRUMR_VERSION_(MAJOR|MINOR|PATCH|STRING) ")
  set(version "")
  foreach(part MAJOR MINOR PATCH)
    foreach(line IN LISTS lines)
      if(line MATCHES "^#define KESTRUMR_VERSION_${part} ([0-9]+)$")
        list(APPEND version ${CMAKE_MATCH_1})
      endif()
    endforeach()
  endforeach()
  list(JOIN version "." version)
  if(NOT version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$" OR
     NOT lines MATCHES "KESTRUMR_VERSION_STRING \"${version}\"")
    message(FATAL_ERROR "${header}: the version macros do not agree (\"${lines}\")")
  endif()
  set(${out} ${version} PARENT_SCOPE)
endfunction()
