ek_add_integration_test(it_usb_probe ${CMAKE_CURRENT_LIST_DIR}/it_usb_probe.cpp)
