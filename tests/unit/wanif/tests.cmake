ek_add_unit_test(test_wanif_queries ${CMAKE_CURRENT_LIST_DIR}/test_queries.cpp)
ek_add_unit_test(test_wanif_priority ${CMAKE_CURRENT_LIST_DIR}/test_priority.cpp)
