if(NOT TARGET brdctl)
  return()
endif()
add_test(NAME integration.brdctl
         COMMAND ${EK_ISOLATE} ${CMAKE_CURRENT_LIST_DIR}/run.sh ${CMAKE_CURRENT_LIST_DIR}/transcript.txt
                 $<TARGET_FILE:brdctl> ${CMAKE_CROSSCOMPILING_EMULATOR})
# The completion the build made, for the transcript's completion rows.
set_tests_properties(integration.brdctl PROPERTIES TIMEOUT 600
                     ENVIRONMENT "BRDCTL_COMPLETION=${EK_BRDCTL_COMPLETION}")
ek_add_integration_test(brdctl_state ${CMAKE_CURRENT_LIST_DIR}/test_state.cpp)
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " EK_BRDCTL_EMULATOR)
set_tests_properties(integration.brdctl_state PROPERTIES
                     ENVIRONMENT "BRDCTL=${EK_BRDCTL_EMULATOR} $<TARGET_FILE:brdctl>")
