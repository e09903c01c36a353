ek_add_integration_test(host_platform ${CMAKE_CURRENT_LIST_DIR}/test_platform.cpp)
target_link_libraries(host_platform PRIVATE ek_db_format)
# Objects planted by another local user (a child dropped to uid 65534).
ek_add_integration_test(host_trust ${CMAKE_CURRENT_LIST_DIR}/test_trust.cpp)
