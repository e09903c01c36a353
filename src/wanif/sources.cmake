list(APPEND EK_BRD_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/snapshot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/queries.cpp
  ${CMAKE_CURRENT_LIST_DIR}/priority.cpp)
