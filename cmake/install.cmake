# Install rules: the headers, the shared library (libkestrumr.so.0 or
# kestrumr.dll with its import library), the command-line front end, a CMake
# package (find_package(kestrumr CONFIG) gives kestrumr::kestrumr), a
# pkg-config file and the licence and change log.
include(CMakePackageConfigHelpers)

set(KESTRUMR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrumr)

install(TARGETS kestrumr EXPORT kestrumrTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kestrumr.h ${PROJECT_SOURCE_DIR}/include/kestrumr_session.h
              ${PROJECT_SOURCE_DIR}/include/kestrumr_analysis.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
if(TARGET kestrum)
  install(TARGETS kestrum RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

install(EXPORT kestrumrTargets NAMESPACE kestrumr:: DESTINATION ${KESTRUMR_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kestrumrConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kestrumrConfig.cmake
  INSTALL_DESTINATION ${KESTRUMR_CMAKE_DIR})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kestrumrConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kestrumrConfig.cmake ${PROJECT_BINARY_DIR}/kestrumrConfigVersion.cmake
  DESTINATION ${KESTRUMR_CMAKE_DIR} COMPONENT development)

# pkg-config: paths relative to the file's own place, so that the
# installed tree may be moved (or installed with --prefix) as a whole.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KESTRUMR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" _up "${_up}")
  set(KESTRUMR_PC_PREFIX "\${pcfiledir}/${_up}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KESTRUMR_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(KESTRUMR_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KESTRUMR_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KESTRUMR_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrumr.pc.in ${PROJECT_BINARY_DIR}/kestrumr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrumr.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
