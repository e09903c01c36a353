ek_add_integration_test(it_wanif ${CMAKE_CURRENT_LIST_DIR}/test_wanif_host.cpp)
