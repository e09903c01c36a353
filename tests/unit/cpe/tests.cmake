ek_add_unit_test(test_cpe ${CMAKE_CURRENT_LIST_DIR}/test_cpe.cpp)
