ek_add_integration_test(host_ipc ${CMAKE_CURRENT_LIST_DIR}/test_ipc.cpp)
ek_add_integration_test(host_services ${CMAKE_CURRENT_LIST_DIR}/test_services.cpp)
ek_add_integration_test(host_db ${CMAKE_CURRENT_LIST_DIR}/test_db.cpp)
ek_add_integration_test(host_db_damage ${CMAKE_CURRENT_LIST_DIR}/test_db_damage.cpp)
# Objects planted by another local user (a child dropped to uid 65534).
ek_add_integration_test(host_trust ${CMAKE_CURRENT_LIST_DIR}/test_trust.cpp)
# The loader on its own: crafted images with valid checksums.
ek_add_integration_test(host_db_format ${CMAKE_CURRENT_LIST_DIR}/test_db_format.cpp)
target_link_libraries(host_db_format PRIVATE ek_db_format)
