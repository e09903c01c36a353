ek_add_unit_test(test_segments ${CMAKE_CURRENT_LIST_DIR}/test_segments.cpp)
