ek_add_integration_test(it_stress ${CMAKE_CURRENT_LIST_DIR}/stress.cpp)
