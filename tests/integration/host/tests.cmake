ek_add_integration_test(host_platform ${CMAKE_CURRENT_LIST_DIR}/test_platform.cpp)
target_link_libraries(host_platform PRIVATE ek_db_format)
ek_add_integration_test(host_library ${CMAKE_CURRENT_LIST_DIR}/test_library.cpp)
# The stress run (writers killed again and again) is a ctest test of its own.
set_tests_properties(integration.host_library PROPERTIES ENVIRONMENT GTEST_FILTER=-Stress.*)
ek_add_isolated_test(integration.it_stress host_library --gtest_filter=Stress.*)
