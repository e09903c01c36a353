# brdctl end to end: the real executable (under the emulator in a cross
# build) against the host platform, in the test's private namespace.
if(TARGET brdctl)
  ek_add_integration_test(test_brdctl ${CMAKE_CURRENT_LIST_DIR}/test_brdctl.cpp)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " EK_BRDCTL_EMULATOR)
  target_compile_definitions(test_brdctl PRIVATE
    BRDCTL_PATH="$<TARGET_FILE:brdctl>" BRDCTL_EMULATOR="${EK_BRDCTL_EMULATOR}")
  target_link_libraries(test_brdctl PRIVATE ek_tool_headers)
  add_dependencies(test_brdctl brdctl)
endif()
