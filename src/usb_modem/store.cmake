list(APPEND EK_BRD_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/lock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cfg_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modeswitch_store.cpp)
