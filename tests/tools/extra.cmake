# The tool's tests also check its text conversions directly (tools/text.cpp).
if(TARGET tools_tests)
  target_sources(tools_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/text.cpp)
endif()
