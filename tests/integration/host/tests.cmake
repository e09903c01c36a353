ek_add_integration_test(host_platform ${CMAKE_CURRENT_LIST_DIR}/test_platform.cpp)
target_link_libraries(host_platform PRIVATE ek_db_format)
ek_add_integration_test(host_library ${CMAKE_CURRENT_LIST_DIR}/test_library.cpp)
# The stress run (writers killed again and again) is a ctest test of its own.
set_tests_properties(integration.host_library PROPERTIES ENVIRONMENT GTEST_FILTER=-Stress.*)
# The trust rows need root and uid 65534; where they cannot run they report SKIPPED.
set_tests_properties(integration.host_platform PROPERTIES ENVIRONMENT GTEST_FILTER=-HostTrust.*)
ek_add_isolated_test(integration.host_trust host_platform --gtest_filter=HostTrust.*)
set_tests_properties(integration.host_trust PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
ek_add_isolated_test(integration.it_stress host_library --gtest_filter=Stress.*)
add_executable(host_db_io ${CMAKE_CURRENT_LIST_DIR}/test_db_io.cpp
               ${PROJECT_SOURCE_DIR}/host/db/db_paths.cpp ${PROJECT_SOURCE_DIR}/host/db/db_cache.cpp
               ${PROJECT_SOURCE_DIR}/host/db/db_lock.cpp ${PROJECT_SOURCE_DIR}/host/db/ek_db.cpp
               $<TARGET_OBJECTS:ek_db_format> $<TARGET_OBJECTS:ek_host_trust>)
target_include_directories(host_db_io PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src
                           ${PROJECT_SOURCE_DIR}/host ${PROJECT_SOURCE_DIR}/host/include)
target_compile_options(host_db_io PRIVATE ${EK_WARNINGS})
target_link_options(host_db_io PRIVATE -Wl,--wrap=read -Wl,--wrap=write -Wl,--wrap=malloc
                    -Wl,--wrap=clock_gettime)
target_link_libraries(host_db_io PRIVATE GTest::gtest_main Threads::Threads)
ek_add_isolated_test(integration.host_db_io host_db_io)
