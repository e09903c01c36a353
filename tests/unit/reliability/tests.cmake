ek_add_unit_test(test_failure_rows ${CMAKE_CURRENT_LIST_DIR}/failure_rows.cpp)
ek_add_unit_test(test_hammer ${CMAKE_CURRENT_LIST_DIR}/hammer.cpp)
