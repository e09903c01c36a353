// The USB modem segment and the cross-process lock offered to callers.
//
// The library never takes the lock or looks into the segment itself; it only
// creates or attaches both once per process and hands them out. State is
// written by initialisation alone, which callers make from one thread before
// any other thread uses the lock, so no process-local lock guards it.
#include <stdint.h>

#include "ek_brd.h"
#include "platform/ek_platform.h"

namespace {

constexpr int32_t kDebugLevel = 7;

// -1: this process has no lock (never initialised, or initialisation failed).
int32_t usb_modem_sem_id = -1;
void *usb_modem_shm = nullptr;

}  // namespace

extern "C" {

int ek_brd_lib_usb_modem_init(void) {
    if (usb_modem_sem_id != -1) {
        ek_log(kDebugLevel, "USB modem cfg shared mem already initialized\n");
        return 0;
    }
    usb_modem_sem_id = ek_sem_create(EK_USB_MODEM_SEM_KEY, 1);
    if (usb_modem_sem_id == -1) {
        EK_ERR("Failed to create sem id for USB modem shared mem cfg\n");
        return -1;
    }
    int32_t shm_id = -1;  // reported by the platform, not needed afterwards
    usb_modem_shm =
        ek_shm_create(&shm_id, EK_USB_MODEM_SHM_KEY, EK_USB_MODEM_SHM_SIZE, usb_modem_sem_id);
    if (usb_modem_shm == nullptr) {
        // Back to "not initialised" so that the next call starts afresh.
        ek_sem_destroy(usb_modem_sem_id);
        usb_modem_sem_id = -1;
        return -1;
    }
    return 0;
}

int ek_brd_lib_usb_modem_get_shm(void **out) {
    *out = usb_modem_shm;
    return 0;
}

int ek_brd_lib_usb_modem_cfg_lock(void) {
    if (usb_modem_sem_id == -1) return -1;
    return ek_sem_wait(usb_modem_sem_id);
}

int ek_brd_lib_usb_modem_cfg_unlock(void) {
    if (usb_modem_sem_id == -1) return -1;
    return ek_sem_signal(usb_modem_sem_id);
}

}  // extern "C"
