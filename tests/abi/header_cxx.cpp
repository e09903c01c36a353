// The exported header must also be plain C++.
#include "ek_brd.h"

int ek_abi_header_cxx() {
    return static_cast<int>(sizeof(ek_wanif_entry_t));
}
