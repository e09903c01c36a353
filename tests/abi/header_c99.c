/* The exported header must stand alone in strict C99 (and C11). */
#include "ek_brd.h"

ek_usb_modem_cfg_t ek_abi_cfg;
