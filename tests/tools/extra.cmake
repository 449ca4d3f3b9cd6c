# The tool's tests also check its text conversions directly (tools/text.cpp).
if(TARGET tools_tests)
  target_sources(tools_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/text.cpp)
  target_link_libraries(tools_tests PRIVATE util)
endif()

# The install test installs this tree (the stripped binaries of `dist`) and
# looks for the module where an installed qira does.
if(TARGET tools_tests)
  add_dependencies(tools_tests dist)
  target_compile_definitions(tools_tests PRIVATE QIRA_CMAKE="${CMAKE_COMMAND}"
                             QIRA_INSTALLED_MODULE="${qira_module_rel}")
endif()
