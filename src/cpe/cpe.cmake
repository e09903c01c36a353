list(APPEND EK_BRD_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/nat_policy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sorted_lookup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_subnet.cpp)
