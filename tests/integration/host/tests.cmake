ek_add_integration_test(host_platform ${CMAKE_CURRENT_LIST_DIR}/test_platform.cpp)
target_link_libraries(host_platform PRIVATE ek_db_format)
ek_add_integration_test(host_library ${CMAKE_CURRENT_LIST_DIR}/test_library.cpp)
# The stress run (writers killed again and again) is a ctest test of its own.
set_tests_properties(integration.host_library PROPERTIES ENVIRONMENT GTEST_FILTER=-Stress.*)
# The trust rows need real root and another uid; where they cannot run the
# test reports SKIPPED, so it is a ctest test of its own.
set_tests_properties(integration.host_platform PROPERTIES ENVIRONMENT GTEST_FILTER=-HostTrust.*)
ek_add_isolated_test(integration.host_trust host_platform --gtest_filter=HostTrust.*)
set_tests_properties(integration.host_trust PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
ek_add_isolated_test(integration.it_stress host_library --gtest_filter=Stress.*)
