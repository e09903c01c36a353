/*
 * What the host implementation of the platform services adds to the
 * declarations in src/platform/: the interface-name classes it recognises
 * and a setter for the device configuration it serves.
 *
 * Interface-name classes (names of at most 15 characters; "N" is one or
 * more decimal digits and nothing may follow them):
 *   ek_is_eth_ifname         "ethN"                  wired ports
 *   ek_is_p_ifname           "pN"                    switch ports
 *   ek_is_usbnet_ppp_ifname  "usbnetN" and "pppN"    USB network, PPP links
 *   ek_is_usb_ifname         "usbN"                  USB Ethernet adapters
 *
 * Device configuration: the mode configurations are records of two
 * databases keyed by interface name (the name's bytes, no terminator):
 *   EK_HOST_DCD_ETH_DB     80-byte records, WAN priority int32 at offset 12,
 *                          for the eth and p classes (queried by kernel index)
 *   EK_HOST_DCD_USBNET_DB  96-byte records, WAN priority int32 at offset 20,
 *                          for the usbnet/ppp and usb classes
 * Fields are in the host's byte order. An interface without a record has
 * no configuration: its query fails.
 */
#ifndef EK_HOST_H
#define EK_HOST_H

#include <stdint.h>

#include "ek_brd.h"

#ifdef __cplusplus
extern "C" {
#endif

#define EK_HOST_API __attribute__((visibility("default")))

#define EK_HOST_DCD_ETH_DB "/tmp/db/dcd_eth_mode_cfg"
#define EK_HOST_DCD_USBNET_DB "/tmp/db/dcd_usbnet_mode_cfg"
#define EK_HOST_DCD_ETH_CFG_SIZE 80
#define EK_HOST_DCD_ETH_PRIORITY_OFFSET 12
#define EK_HOST_DCD_USBNET_CFG_SIZE 96
#define EK_HOST_DCD_USBNET_PRIORITY_OFFSET 20

/* Sets the WAN priority of the interface's mode configuration, creating the
 * configuration (zero-filled) when it has none. The interface's class picks
 * the database, asked in the order eth, p, usbnet/ppp, usb. 0 on success,
 * -1 for a name of no class or a failed store. */
EK_HOST_API int32_t ek_host_dcd_set_wan_priority(const char *ifname, int32_t priority);

/* libek_db.so: the length of the value stored under key in the handle's
 * view, or -1 when there is none. ek_db_fetch takes no size, so readers of
 * records they did not write check it first. A database whose file is named
 * wanif_db, usb_modem_cfg, usb_modem_mode_switch, dcd_eth_mode_cfg or
 * dcd_usbnet_mode_cfg (in any directory) stores and hands out values of its
 * record size only (904, 3380, 300, 80 and 96 bytes): another size is
 * refused and logged. */
EK_HOST_API int32_t ek_host_db_value_size(ek_db_handle_t db, const void *key, int32_t key_len);

/* libek_db.so: one record for ek_host_db_replace. */
typedef struct ek_host_db_record {
    const void *key;
    int32_t key_len;
    const void *value;
    int32_t value_len;
} ek_host_db_record_t;

/* libek_db.so: makes these count records the database's whole content in
 * one step, under the lock every store takes: other processes see the old
 * set or the new one, never a mix. 0, or -1 with nothing changed (an empty
 * or repeated key, a failed write). */
EK_HOST_API int32_t ek_host_db_replace(ek_db_handle_t db, const ek_host_db_record_t *records,
                                       int32_t count);

/* libek_db.so: the key of the record an ek_db_foreach descriptor names. Its
 * length, with at most size bytes of it copied to out; -1 for a descriptor
 * of another view. */
EK_HOST_API int32_t ek_host_db_key_bykey(ek_db_handle_t db, ek_db_key_desc_t key, void *out,
                                         int32_t size);

/* The calling thread's copy of the last line the host platform logged (a
 * refusal under the trust rule with its reason, a damaged database), ""
 * before any. A caller that wants the reason a call failed empties it
 * (writes a NUL at [0]) before the call. Both host libraries define it and
 * log through it, so the definition loaded first serves both. */
EK_HOST_API char *ek_host_last_log_line(void);

/* The trust rule the host platform applies to its own files, for tools
 * that open files a user names: why it refuses the object st describes
 * (fstat of an open descriptor, or lstat of an entry O_NOFOLLOW would not
 * open) for the use given, or null. The reason may end in the fix, after
 * ": ". Defined in both host libraries, like ek_host_last_log_line. */
#define EK_HOST_TRUST_FILE 0      /* a regular file to read or write */
#define EK_HOST_TRUST_DIRECTORY 1 /* the directory of files with fixed names */
#define EK_HOST_TRUST_PASSAGE 2   /* a directory on the way: may be writable by
                                     all when root owns it and it is sticky */
struct stat;
EK_HOST_API const char *ek_host_trust_fault(const struct stat *st, int32_t use);

/* libek_platform.so: the PATH in which the shell of ek_system looks commands
 * up: for root, the entries the trust rule accepts, resolved (the dropped
 * ones are logged); another user's PATH as it is. Copied to out with its
 * NUL when it fits in size bytes. Its length; 0 when the environment has no
 * PATH or an empty one (the shell's own default applies), -1 when memory
 * ran out. */
EK_HOST_API int32_t ek_host_command_path(char *out, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
