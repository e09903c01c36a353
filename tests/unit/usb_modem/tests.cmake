ek_add_unit_test(test_usb_modem_lock ${CMAKE_CURRENT_LIST_DIR}/test_lock.cpp)
ek_add_unit_test(test_usb_modem_cfg_store ${CMAKE_CURRENT_LIST_DIR}/test_cfg_store.cpp)
ek_add_unit_test(test_usb_modem_modeswitch_store ${CMAKE_CURRENT_LIST_DIR}/test_modeswitch_store.cpp)
