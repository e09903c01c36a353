# Several processes on the same databases while a writer is killed again
# and again; the database files are checked with the image loader itself.
ek_add_integration_test(it_stress ${CMAKE_CURRENT_LIST_DIR}/stress.cpp)
target_link_libraries(it_stress PRIVATE ek_db_format)
