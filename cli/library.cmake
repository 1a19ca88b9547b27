# The front end as a library (everything but main), defined once: by cli/
# with the tools, and by the fuzz harnesses (which build without the tools)
# when cli/ is not part of the build.
if(NOT TARGET kestrum_cli)
  add_library(kestrum_cli STATIC ${PROJECT_SOURCE_DIR}/cli/cli.cpp ${PROJECT_SOURCE_DIR}/cli/read.cpp
                                 ${PROJECT_SOURCE_DIR}/cli/output.cpp ${PROJECT_SOURCE_DIR}/cli/progress.cpp)
  target_link_libraries(kestrum_cli PUBLIC kestrumr_core)
  target_include_directories(kestrum_cli PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(kestrum_cli PRIVATE ${KESTRUMR_WARN})
  target_compile_definitions(kestrum_cli PRIVATE KESTRUM_VERSION="${PROJECT_VERSION}")
endif()
