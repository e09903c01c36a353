ek_add_unit_test(test_nat_policy ${CMAKE_CURRENT_LIST_DIR}/test_nat_policy.cpp)
ek_add_unit_test(test_sorted_lookup ${CMAKE_CURRENT_LIST_DIR}/test_sorted_lookup.cpp)
ek_add_unit_test(test_local_subnet ${CMAKE_CURRENT_LIST_DIR}/test_local_subnet.cpp)
