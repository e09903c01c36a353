/* The exported header must stand alone in strict C99, C11 and C++. */
#include "ek_brd.h"
ek_usb_modem_cfg_t ek_abi_cfg;
