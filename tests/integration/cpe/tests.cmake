ek_add_integration_test(itest_cpe ${CMAKE_CURRENT_LIST_DIR}/test_cpe_host.cpp)
