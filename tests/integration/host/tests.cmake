ek_add_integration_test(host_ipc ${CMAKE_CURRENT_LIST_DIR}/test_ipc.cpp)
ek_add_integration_test(host_db ${CMAKE_CURRENT_LIST_DIR}/test_db.cpp)
target_link_libraries(host_db PRIVATE ek_db_format)
# Objects planted by another local user (a child dropped to uid 65534).
ek_add_integration_test(host_trust ${CMAKE_CURRENT_LIST_DIR}/test_trust.cpp)
