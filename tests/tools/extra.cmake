# The tool's tests also check its text conversions directly (tools/text.cpp)
# and share the subprocess and JSON helpers of toolrun.cpp.
if(TARGET tools_tests)
  target_sources(tools_tests PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/tools/toolrun.cpp
    ${CMAKE_SOURCE_DIR}/tools/text.cpp)
  target_link_libraries(tools_tests PRIVATE util)
endif()
