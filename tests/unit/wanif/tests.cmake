ek_add_unit_test(test_wanif ${CMAKE_CURRENT_LIST_DIR}/test_wanif.cpp)
