ek_add_integration_test(itest_wanif ${CMAKE_CURRENT_LIST_DIR}/test_wanif_host.cpp)
