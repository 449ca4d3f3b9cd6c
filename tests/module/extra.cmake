# The symbol-capture proof: a program that exports functions named like the
# module's own and shows that qira.so's internal calls still stay inside it.
add_executable(module_capture ${CMAKE_CURRENT_LIST_DIR}/capture_main.cpp)
target_include_directories(module_capture PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(module_capture PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(module_capture PROPERTIES ENABLE_EXPORTS ON)
target_compile_definitions(module_capture PRIVATE QIRA_MODULE_PATH="$<TARGET_FILE:qira>")
add_dependencies(module_capture qira)
add_test(NAME module_capture COMMAND module_capture)
set_tests_properties(module_capture PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
