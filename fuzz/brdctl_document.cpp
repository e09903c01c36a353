// brdctl's state document on any bytes: read and checked without a crash, a
// leak or an exception other than brdctl's usage error, and a document
// accepted once is accepted again, as the same state, in the form export
// writes it.
#include <stdint.h>
#include <stdlib.h>

#include "document.h"

// common.cpp's USB modem lock, never taken here: the library is not linked;
// and the log every target of this directory wraps.
extern "C" {
int ek_brd_lib_usb_modem_init(void) {
    return -1;
}
int ek_brd_lib_usb_modem_cfg_lock(void) {
    return -1;
}
int ek_brd_lib_usb_modem_cfg_unlock(void) {
    return -1;
}
void __wrap_syslog(int, const char *, ...) {}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    brdctl::State state;
    try {
        state = brdctl::parse_state(std::string_view(reinterpret_cast<const char *>(data), size),
                                    "input");
    } catch (const brdctl::Failure &e) {
        if (e.code() != brdctl::kUsage) abort();
        return 0;
    }
    try {
        if (!(brdctl::parse_state(brdctl::document_of(state).dump(2), "export") == state)) {
            abort();
        }
    } catch (const brdctl::Failure &) {
        abort();
    }
    return 0;
}
