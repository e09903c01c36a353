// Placeholder process services: SysV objects and logging to stderr.
#include "platform/ek_platform.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

extern "C" {
int32_t ek_sem_create(int32_t key, int32_t value) {
    int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
    if (id >= 0) {
        semctl(id, 0, SETVAL, value);
        return id;
    }
    return semget(key, 1, 0600);
}
int32_t ek_sem_wait(int32_t id) {
    sembuf op{0, -1, SEM_UNDO};
    return semop(id, &op, 1);
}
int32_t ek_sem_signal(int32_t id) {
    sembuf op{0, 1, SEM_UNDO};
    return semop(id, &op, 1);
}
int32_t ek_sem_destroy(int32_t id) {
    return semctl(id, 0, IPC_RMID);
}
void *ek_shm_create(int32_t *shm_id, int32_t key, uint32_t size, int32_t) {
    int id = shmget(key, size, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    *shm_id = id;
    void *p = shmat(id, nullptr, 0);
    return p == reinterpret_cast<void *>(-1) ? nullptr : p;
}
int32_t __ek_err(const char *tag, int32_t line, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s%d: ", tag, line);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    return 0;
}
int32_t ek_log(int32_t, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    return 0;
}
int32_t ek_sprintf(char *buf, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsprintf(buf, fmt, ap);
    va_end(ap);
    return n;
}
int32_t ek_system(const char *cmd) {
    return system(cmd);
}
int32_t ek_close(int32_t fd) {
    return close(fd);
}
int32_t ek_dcd_get_eth_mode_cfg(uint32_t, void *) {
    return -1;
}
int32_t ek_dcd_get_usbnet_mode_cfg(const char *, void *) {
    return -1;
}
int32_t ek_dcd_get_addr_byname(const char *, uint32_t *, uint32_t *) {
    return -1;
}
int32_t ek_is_eth_ifname(const char *) {
    return 0;
}
int32_t ek_is_p_ifname(const char *) {
    return 0;
}
int32_t ek_is_usbnet_ppp_ifname(const char *) {
    return 0;
}
int32_t ek_is_usb_ifname(const char *) {
    return 0;
}
}
