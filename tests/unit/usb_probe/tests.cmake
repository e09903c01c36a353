ek_add_unit_test(test_usb_probe ${CMAKE_CURRENT_LIST_DIR}/test_probe.cpp)
