# Structure of a Windows build of the library, read from the PE file itself:
#
#   DEF      the export list (.def): routines, and data blocks marked DATA;
#   LIB      the DLL;
#   OBJDUMP  the mingw objdump for the DLL's machine;
#   MACHINE  "i386" (PE32, Intel 80386) or "x86-64" (PE32+, x86-64);
#   FILE     optional: the file(1) program, for a second opinion on the
#            format.
#
# Checks:
#   1. the file is a DLL of the expected format and machine;
#   2. its export name table holds exactly the names of the list, each
#      undecorated (no @n suffix, no leading underscore added), none of them
#      a forwarder;
#   3. every routine's address lies in a code section, and every DATA
#      name's address in a section that is not code (.data, .bss, .rdata):
#      a host that looks a block up gets the block, not a thunk;
#   4. every imported DLL is a system DLL of the allow-list below: the
#      compiler's runtime (libgcc, libstdc++, winpthread) is linked in, so
#      the DLL is all a Windows user needs.

foreach(v DEF LIB OBJDUMP MACHINE)
  if(NOT DEFINED ${v} OR "${${v}}" STREQUAL "")
    message(FATAL_ERROR "check_pe.cmake needs -D${v}=...")
  endif()
endforeach()

# DLLs every Windows installation has.  The C runtime may be msvcrt.dll or
# the universal runtime (ucrtbase.dll and its api-ms-win-crt-* forwarders).
set(allowed_dll_regex
  "^(kernel32|msvcrt|ucrtbase|user32|advapi32|ntdll|ws2_32|shell32|ole32|bcrypt|api-ms-win-crt-[a-z0-9-]+|api-ms-win-core-[a-z0-9-]+)\\.dll$")

# --- the export list -------------------------------------------------------
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/read_def.cmake)
kestrumr_read_def("${DEF}" def_names def_data)
list(LENGTH def_names n_def)
if(n_def EQUAL 0)
  message(FATAL_ERROR "no names read from ${DEF}")
endif()

set(failures 0)
function(fail msg)
  message(SEND_ERROR "${msg}")
  math(EXPR n "${failures} + 1")
  set(failures ${n} PARENT_SCOPE)
endfunction()

# objdump output as a CMake list of lines (';' would split entries).
function(read_lines out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

read_lines(priv ${OBJDUMP} -p "${LIB}")
read_lines(hdrs ${OBJDUMP} -h "${LIB}")

# --- 1. format and machine -------------------------------------------------
if(MACHINE STREQUAL "i386")
  set(want_format "pei-i386")
  set(want_magic "010b")
  set(want_file "PE32 executable \\(DLL\\).*Intel 80386")
elseif(MACHINE STREQUAL "x86-64")
  set(want_format "pei-x86-64")
  set(want_magic "020b")
  set(want_file "PE32\\+ executable \\(DLL\\).*x86-64")
else()
  message(FATAL_ERROR "MACHINE must be i386 or x86-64")
endif()
set(format "")
set(magic "")
set(is_dll FALSE)
set(image_base "")
foreach(line IN LISTS priv)
  if(line MATCHES "file format ([a-z0-9-]+)")
    set(format ${CMAKE_MATCH_1})
  elseif(line MATCHES "^Magic[ \t]+([0-9a-fA-F]+)")
    set(magic ${CMAKE_MATCH_1})
  elseif(line MATCHES "^ImageBase[ \t]+([0-9a-fA-F]+)")
    set(image_base ${CMAKE_MATCH_1})
  elseif(line MATCHES "^[ \t]+DLL[ \t]*$")
    set(is_dll TRUE)
  endif()
endforeach()
if(NOT format STREQUAL want_format)
  fail("format is '${format}', expected ${want_format}")
endif()
if(NOT magic STREQUAL want_magic)
  fail("optional header magic is '${magic}', expected ${want_magic}")
endif()
if(NOT is_dll)
  fail("the DLL flag is not set in the file header characteristics")
endif()
if(FILE)
  execute_process(COMMAND ${FILE} -b "${LIB}" OUTPUT_VARIABLE what OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT what MATCHES "${want_file}")
    fail("file(1) says '${what}', expected ${want_file}")
  endif()
endif()

# --- sections: [start, end) as RVAs, and whether they hold code ------------
set(sections "")
set(pending "")
foreach(line IN LISTS hdrs)
  if(line MATCHES "^[ \t]*[0-9]+[ \t]+([^ \t]+)[ \t]+([0-9a-f]+)[ \t]+([0-9a-f]+)[ \t]+")
    set(pending "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${CMAKE_MATCH_3}")
  elseif(pending AND line MATCHES "^[ \t]+[A-Z]")
    string(REPLACE "|" ";" p "${pending}")
    list(GET p 0 name)
    list(GET p 1 size)
    list(GET p 2 vma)
    math(EXPR start "0x${vma} - 0x${image_base}")
    math(EXPR end "${start} + 0x${size}")
    if(line MATCHES "CODE")
      set(kind code)
    else()
      set(kind data)
    endif()
    list(APPEND sections "${name}|${start}|${end}|${kind}")
    set(pending "")
  endif()
endforeach()
if(NOT sections)
  message(FATAL_ERROR "no section headers read from ${LIB}")
endif()

# --- 2. the export table ----------------------------------------------------
# Export Address Table rows: "[   i] +base[  o] rva Export RVA" (or
# "Forwarder RVA"); name table rows: "[   i] name", i the table index.
set(section_of_exports "")
set(lib_names "")
set(state none)
foreach(line IN LISTS priv)
  if(line MATCHES "^Export Address Table")
    set(state eat)
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(state names)
  elseif(line MATCHES "^[A-Z]" OR line MATCHES "^PE File")
    set(state none)
  elseif(state STREQUAL "eat" AND line MATCHES "^[ \t]*\\[[ ]*([0-9]+)\\] \\+base\\[[ ]*[0-9]+\\] ([0-9a-f]+) (Export|Forwarder) RVA")
    set(rva_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
    set(kind_${CMAKE_MATCH_1} ${CMAKE_MATCH_3})
  elseif(state STREQUAL "names" AND line MATCHES "^[ \t]*\\[[ ]*([0-9]+)\\] ([^ \t]+)[ \t]*$")
    list(APPEND lib_names ${CMAKE_MATCH_2})
    set(ord_of_${CMAKE_MATCH_2} ${CMAKE_MATCH_1})
  endif()
endforeach()

set(sorted_def ${def_names})
set(sorted_lib ${lib_names})
list(SORT sorted_def)
list(SORT sorted_lib)
if(NOT "${sorted_def}" STREQUAL "${sorted_lib}")
  set(only_def ${sorted_def})
  if(sorted_lib)
    list(REMOVE_ITEM only_def ${sorted_lib})
  endif()
  set(only_lib ${sorted_lib})
  list(REMOVE_ITEM only_lib ${sorted_def})
  fail("export table differs from the list: missing [${only_def}], extra [${only_lib}]")
endif()

# --- 3. where each export points -------------------------------------------
foreach(name IN LISTS lib_names)
  set(ord ${ord_of_${name}})
  if(NOT DEFINED rva_${ord})
    fail("${name}: no address table entry ${ord}")
    continue()
  endif()
  if(NOT kind_${ord} STREQUAL "Export")
    fail("${name} is a forwarder")
    continue()
  endif()
  math(EXPR rva "0x${rva_${ord}}")
  set(where "")
  foreach(s IN LISTS sections)
    string(REPLACE "|" ";" s "${s}")
    list(GET s 1 start)
    list(GET s 2 end)
    if(rva GREATER_EQUAL start AND rva LESS end)
      list(GET s 0 where)
      list(GET s 3 kind)
      break()
    endif()
  endforeach()
  if(where STREQUAL "")
    fail("${name}: address ${rva_${ord}} lies in no section")
    continue()
  endif()
  list(FIND def_data ${name} is_data)
  if(is_data GREATER_EQUAL 0 AND NOT kind STREQUAL "data")
    fail("${name} is listed as DATA but points into ${where} (code)")
  elseif(is_data LESS 0 AND NOT kind STREQUAL "code")
    fail("${name} is a routine but points into ${where} (not code)")
  endif()
  string(APPEND placement " ${name}:${where}")
endforeach()

# --- 4. imports -------------------------------------------------------------
set(imports "")
foreach(line IN LISTS priv)
  if(line MATCHES "DLL Name: ([^ \t]+)")
    list(APPEND imports ${CMAKE_MATCH_1})
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
    if(NOT dll MATCHES "${allowed_dll_regex}")
      fail("imports ${CMAKE_MATCH_1}, which is not a system DLL")
    endif()
  endif()
endforeach()
if(NOT imports)
  fail("no import table read from ${LIB}")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed for ${LIB}")
endif()
message(STATUS "${LIB}: ${want_format}, ${n_def} exports as listed:${placement}; imports: ${imports}")
