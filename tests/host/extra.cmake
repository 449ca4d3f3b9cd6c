# The echo module: a tiny shared object with the entry points a host loads,
# so the host stand-in is tested without qira.so's objects.  The support
# library gives it memory groups, lists and the yield function.
add_library(echo_module SHARED ${CMAKE_CURRENT_LIST_DIR}/echo_module.cpp $<TARGET_OBJECTS:qira_support_obj>)
target_include_directories(echo_module PRIVATE ${CMAKE_SOURCE_DIR}/include)
set_target_properties(echo_module PROPERTIES PREFIX "" OUTPUT_NAME echo_module
                      CXX_VISIBILITY_PRESET hidden)
target_link_options(echo_module PRIVATE -Wl,--no-undefined)
if(TARGET host_tests)
  add_dependencies(host_tests echo_module)
  target_compile_definitions(host_tests PRIVATE ECHO_MODULE_PATH="$<TARGET_FILE:echo_module>")
endif()
