# brdctl end to end: transcript.txt replayed by run.sh against the real
# executable (under the emulator in a cross build) and the host platform,
# in the test's private namespace.
if(TARGET brdctl)
  add_test(NAME integration.brdctl
           COMMAND ${EK_ISOLATE} ${CMAKE_CURRENT_LIST_DIR}/run.sh
                   ${CMAKE_CURRENT_LIST_DIR}/transcript.txt $<TARGET_FILE:brdctl>
                   ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(integration.brdctl PROPERTIES TIMEOUT 600)
endif()
