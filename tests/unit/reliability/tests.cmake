ek_add_unit_test(test_oom_sweep ${CMAKE_CURRENT_LIST_DIR}/oom_sweep.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/sweep_wanif.cpp ${CMAKE_CURRENT_LIST_DIR}/sweep_cpe.cpp)
ek_add_unit_test(test_failure_rows ${CMAKE_CURRENT_LIST_DIR}/failure_rows.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/rows_wanif.cpp ${CMAKE_CURRENT_LIST_DIR}/rows_cpe.cpp)
ek_add_unit_test(test_hammer ${CMAKE_CURRENT_LIST_DIR}/hammer.cpp)
