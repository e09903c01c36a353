/* The exported header must stand alone in strict C99. */
#include "ek_brd.h"

int ek_abi_header_c99(void) {
    ek_usb_modem_cfg_t cfg;
    struct ek_list_head head;
    head.next = &head;
    head.prev = &head;
    cfg.usbid_num = 0;
    return (int)cfg.usbid_num + (head.next == &head ? 0 : 1);
}
