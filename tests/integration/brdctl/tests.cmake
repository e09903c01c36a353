# brdctl end to end: run.sh replays transcript.txt against the executable.
add_test(NAME integration.brdctl
         COMMAND ${EK_ISOLATE} ${CMAKE_CURRENT_LIST_DIR}/run.sh ${CMAKE_CURRENT_LIST_DIR}/transcript.txt
                 $<TARGET_FILE:brdctl> ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(integration.brdctl PROPERTIES TIMEOUT 600)
