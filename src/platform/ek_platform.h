/*
 * The platform's process services.
 *
 * libek_brd.so does not list their library as NEEDED: the symbols stay
 * undefined and are bound at load time to the libraries the host process
 * has already loaded (on the router, the platform's common libraries; on
 * any other machine, host/platform's libek_platform.so).
 */
#ifndef EK_PLATFORM_EK_PLATFORM_H
#define EK_PLATFORM_EK_PLATFORM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(EK_PLATFORM_BUILDING)
#define EK_PLATFORM_API __attribute__((visibility("default")))
#else
#define EK_PLATFORM_API
#endif

#define EK_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

/* Semaphores: the same key gives the same semaphore in every process; the
 * first wait on a new one does not block. -1 on failure. */
EK_PLATFORM_API int32_t ek_sem_create(int32_t key, int32_t value);
EK_PLATFORM_API int32_t ek_sem_wait(int32_t sem_id);
EK_PLATFORM_API int32_t ek_sem_signal(int32_t sem_id);
EK_PLATFORM_API int32_t ek_sem_destroy(int32_t sem_id);

/* The segment's address in this process, null on failure. A new segment
 * reads as zeros. shm_id receives the segment's identifier. */
EK_PLATFORM_API void *ek_shm_create(int32_t *shm_id, int32_t key, uint32_t size, int32_t sem_id);

/* Error report: tag, source line of the call, printf format. */
EK_PLATFORM_API int32_t __ek_err(const char *tag, int32_t line, const char *fmt, ...)
    EK_PRINTF_LIKE(3, 4);
EK_PLATFORM_API int32_t ek_log(int32_t level, const char *fmt, ...) EK_PRINTF_LIKE(2, 3);
/* sprintf: no length is passed. */
EK_PLATFORM_API int32_t ek_sprintf(char *buf, const char *fmt, ...) EK_PRINTF_LIKE(2, 3);

/* Runs the line with the shell and waits: -1 when it cannot be run, 0 on
 * success, another value on failure. */
EK_PLATFORM_API int32_t ek_system(const char *cmd);
EK_PLATFORM_API int32_t ek_close(int32_t fd);

/* Device configuration service. */
EK_PLATFORM_API int32_t ek_dcd_get_eth_mode_cfg(uint32_t kifidx, void *cfg80);
EK_PLATFORM_API int32_t ek_dcd_get_usbnet_mode_cfg(const char *ifname, void *cfg96);
/* 0 with address and mask written (network byte order); else failure. */
EK_PLATFORM_API int32_t ek_dcd_get_addr_byname(const char *ifname, uint32_t *addr, uint32_t *mask);

/* Interface-name classes: non-zero when the name is of the class. */
EK_PLATFORM_API int32_t ek_is_eth_ifname(const char *ifname);
EK_PLATFORM_API int32_t ek_is_p_ifname(const char *ifname);
EK_PLATFORM_API int32_t ek_is_usbnet_ppp_ifname(const char *ifname);
EK_PLATFORM_API int32_t ek_is_usb_ifname(const char *ifname);

/* The tag every library error report carries. */
#define EK_ERR_TAG " "
#define EK_ERR(...) __ek_err(EK_ERR_TAG, __LINE__, __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif
