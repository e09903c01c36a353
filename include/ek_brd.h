/*
 * libek_brd: shared state of the router platform's brd component.
 *
 * Plain C (C99 and later, and C++). Every record below is a memory image
 * shared with other processes of the platform: offsets and widths are an
 * interface and are pinned by the assertions at the end of each record.
 * Multi-byte fields are in the host's native byte order.
 */
#ifndef EK_BRD_H
#define EK_BRD_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__cplusplus)
#define EK_BRD_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define EK_BRD_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
/* C99 has no static assertion; a negative array size stops the build. */
#define EK_BRD_STATIC_ASSERT(cond, name) typedef char ek_brd_assert_##name[(cond) ? 1 : -1]
#endif

#if defined(EK_BRD_BUILDING)
#define EK_BRD_API __attribute__((visibility("default")))
#else
#define EK_BRD_API
#endif

EK_BRD_STATIC_ASSERT(sizeof(int) == 4, int_is_32_bit);

/* ------------------------------------------------------------------ */
/* Database handle and key descriptor (served by libek_db.so)         */
/* ------------------------------------------------------------------ */

/* Opaque handle of an open database; a null handle means "no database". */
typedef struct ek_db *ek_db_handle_t;

/* Names one record to an ek_db_foreach callback. Two 32-bit words passed
 * by value: on MIPS o32 it travels in two argument registers, so its size
 * is part of the calling convention. Callers copy it and never look inside. */
typedef struct ek_db_key_desc {
    uint32_t w[2];
} ek_db_key_desc_t;
EK_BRD_STATIC_ASSERT(sizeof(ek_db_key_desc_t) == 8, key_desc_size);

typedef void (*ek_db_foreach_cb_t)(ek_db_handle_t db, ek_db_key_desc_t key, void *arg);

/* ------------------------------------------------------------------ */
/* Circular doubly linked list: next, then prev; an empty head points  */
/* at itself; getall functions append nodes at the tail.               */
/* ------------------------------------------------------------------ */

struct ek_list_head {
    struct ek_list_head *next;
    struct ek_list_head *prev;
};
EK_BRD_STATIC_ASSERT(sizeof(struct ek_list_head) == 2 * sizeof(void *), list_head_size);
EK_BRD_STATIC_ASSERT(offsetof(struct ek_list_head, prev) == sizeof(void *), list_head_prev);

/* ------------------------------------------------------------------ */
/* WAN interface record: one value of /tmp/db/wanif_db                 */
/* ------------------------------------------------------------------ */

typedef struct ek_wanif_entry {
    char name[33];   /* NUL-terminated; "usbnet0" for the USB network */
    char ifname[16]; /* NUL-terminated only when shorter than 16 */
    uint8_t rsv_49[15];
    int32_t priority; /* 1..9999; 0 in usbnet0 means primary-WAN mode */
    int32_t is_wanif;
    int32_t is_active_dft_wan;
    uint32_t ip_addr; /* stored byte order, compared as a word */
    uint8_t rsv_80[192];
    int32_t usbnet_status;
    uint8_t rsv_276[20];
    int32_t is_pppoe;
    int32_t pppoe_ethnet_kifidx;
    uint8_t rsv_304[600];
} ek_wanif_entry_t;

EK_BRD_STATIC_ASSERT(sizeof(ek_wanif_entry_t) == 904, wanif_size);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, name) == 0, wanif_name);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, ifname) == 33, wanif_ifname);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, priority) == 64, wanif_priority);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, is_wanif) == 68, wanif_is_wanif);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, is_active_dft_wan) == 72, wanif_active);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, ip_addr) == 76, wanif_ip);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, usbnet_status) == 272, wanif_usbnet_status);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, is_pppoe) == 296, wanif_is_pppoe);
EK_BRD_STATIC_ASSERT(offsetof(ek_wanif_entry_t, pppoe_ethnet_kifidx) == 300, wanif_kifidx);

/* ------------------------------------------------------------------ */
/* NAT policy slot: 128 of them at CPE segment offset 76668            */
/* ------------------------------------------------------------------ */

typedef struct ek_nat_policy {
    char name[33]; /* a slot whose first byte is NUL is free */
    uint8_t rsv_33[3];
    int32_t type; /* 1: tunnel interfaces, 2: all others */
} ek_nat_policy_t;

EK_BRD_STATIC_ASSERT(sizeof(ek_nat_policy_t) == 40, nat_size);
EK_BRD_STATIC_ASSERT(offsetof(ek_nat_policy_t, type) == 36, nat_type);

/* ------------------------------------------------------------------ */
/* USB modem configuration: one value of /tmp/db/usb_modem_cfg         */
/* ------------------------------------------------------------------ */

#define EK_USB_MODEM_USBID_MAX 8

typedef struct ek_usb_modem_usbid {
    uint16_t vid;
    uint16_t pid;
    uint8_t rest[32]; /* the callers'; never read or moved alone */
} ek_usb_modem_usbid_t;

EK_BRD_STATIC_ASSERT(sizeof(ek_usb_modem_usbid_t) == 36, usbid_size);
EK_BRD_STATIC_ASSERT(offsetof(ek_usb_modem_usbid_t, pid) == 2, usbid_pid);

typedef struct ek_usb_modem_cfg {
    char modem_id[40];  /* NUL-terminated; the database key */
    uint32_t usbid_num; /* used slots, 0..8 */
    ek_usb_modem_usbid_t usbid[EK_USB_MODEM_USBID_MAX];
    uint8_t rest[3048]; /* the callers' configuration */
} ek_usb_modem_cfg_t;

EK_BRD_STATIC_ASSERT(sizeof(ek_usb_modem_cfg_t) == 3380, cfg_size);
EK_BRD_STATIC_ASSERT(offsetof(ek_usb_modem_cfg_t, usbid_num) == 40, cfg_usbid_num);
EK_BRD_STATIC_ASSERT(offsetof(ek_usb_modem_cfg_t, usbid) == 44, cfg_usbid);
EK_BRD_STATIC_ASSERT(offsetof(ek_usb_modem_cfg_t, rest) == 332, cfg_rest);

/* A node appended by ek_brd_lib_usb_modem_db_getall: the link followed
 * directly by the record; the caller frees it with free(). */
typedef struct ek_usb_modem_cfg_node {
    struct ek_list_head list;
    ek_usb_modem_cfg_t cfg;
} ek_usb_modem_cfg_node_t;

EK_BRD_STATIC_ASSERT(offsetof(ek_usb_modem_cfg_node_t, cfg) == sizeof(struct ek_list_head),
                     cfg_node_layout);
/* The library allocates link + record (3388 bytes on the 32-bit target);
 * on a 64-bit host the struct may carry tail padding beyond that. */
EK_BRD_STATIC_ASSERT(sizeof(void *) != 4 || sizeof(ek_usb_modem_cfg_node_t) == 3388, cfg_node_size);

/* ------------------------------------------------------------------ */
/* USB mode-switch record: one value of /tmp/db/usb_modem_mode_switch  */
/* ------------------------------------------------------------------ */

typedef struct ek_usb_modeswitch {
    uint16_t vid;
    uint16_t pid;
    uint8_t rest[296]; /* the callers'; stored unchanged */
} ek_usb_modeswitch_t;

EK_BRD_STATIC_ASSERT(sizeof(ek_usb_modeswitch_t) == 300, modeswitch_size);
EK_BRD_STATIC_ASSERT(offsetof(ek_usb_modeswitch_t, rest) == 4, modeswitch_rest);

typedef struct ek_usb_modeswitch_node {
    struct ek_list_head list;
    ek_usb_modeswitch_t entry;
} ek_usb_modeswitch_node_t;

EK_BRD_STATIC_ASSERT(offsetof(ek_usb_modeswitch_node_t, entry) == sizeof(struct ek_list_head),
                     modeswitch_node_layout);
EK_BRD_STATIC_ASSERT(sizeof(void *) != 4 || sizeof(ek_usb_modeswitch_node_t) == 308,
                     modeswitch_node_size);

/* ------------------------------------------------------------------ */
/* Fixed places of the shared segments                                 */
/* ------------------------------------------------------------------ */

#define EK_BRD_ROUTING_SEM_KEY 0x15000
#define EK_BRD_ROUTING_SHM_KEY 0x15001
#define EK_BRD_ROUTING_SHM_SIZE 2804896u
#define EK_BRD_ROUTING_RESET_OFFSET 2800788u

#define EK_BRD_CPE_SEM_KEY 0x15010
#define EK_BRD_CPE_SHM_KEY 0x15011
#define EK_BRD_CPE_SHM_SIZE 85896u
#define EK_BRD_CPE_VPN_SUBNETS_OFFSET 24u
#define EK_BRD_CPE_SAVE_REPORT_OFFSET 27368u
#define EK_BRD_CPE_NAT_TABLE_OFFSET 76668u
#define EK_BRD_CPE_NAT_POLICY_MAX 128
#define EK_BRD_CPE_BRD_AUTH_OFFSET 81788u

#define EK_USB_MODEM_SEM_KEY 0x17000
#define EK_USB_MODEM_SHM_KEY 0x17001
#define EK_USB_MODEM_SHM_SIZE 32u

EK_BRD_STATIC_ASSERT(EK_BRD_CPE_NAT_TABLE_OFFSET + EK_BRD_CPE_NAT_POLICY_MAX * 40u ==
                         EK_BRD_CPE_BRD_AUTH_OFFSET,
                     nat_table_then_auth);

/* ------------------------------------------------------------------ */
/* Exported data                                                       */
/* ------------------------------------------------------------------ */

/* Held for the whole of every wanif_db snapshot load of this process. */
extern EK_BRD_API pthread_mutex_t g_wanif_db_mutex;
/* Cursor of the wanif_db fetch callback: the next slot to fill. */
extern EK_BRD_API int32_t db_wanif_idx;
/* Held by the local-subnet test around its VPN internal-subnet search. */
extern EK_BRD_API pthread_mutex_t internal_subnet_mutex;

/* ------------------------------------------------------------------ */
/* Routing and CPE segments                                            */
/* ------------------------------------------------------------------ */

EK_BRD_API void *ek_brd_get_routing_shm_data(void);
EK_BRD_API void *ek_brd_get_cpe_shm_data(void);
EK_BRD_API int ek_brd_get_save_report_flag(void);
EK_BRD_API void ek_brd_set_save_report_flag(int flag);
EK_BRD_API int ek_brd_get_brd_auth(void);
EK_BRD_API void ek_brd_set_brd_auth(int value);

/* ------------------------------------------------------------------ */
/* WAN interface table                                                 */
/* ------------------------------------------------------------------ */

EK_BRD_API int ek_brd_get_wanif_count(void);
EK_BRD_API int ek_brd_check_intf_active_dft_wan(const char *ifname);
EK_BRD_API int ek_brd_check_intf_wanif(const char *ifname);
EK_BRD_API int ek_brd_cpe_shm_check_wan_intf_ip(uint32_t ip_addr);
EK_BRD_API int ek_brd_get_pppoe_ethnet_kifidx(const char *ifname);

/* msg must hold at least 86 bytes. kind 45 turns on the primary-WAN test. */
EK_BRD_API int ek_brd_check_cfg_priority_valid(int kind, int priority, char *msg);
EK_BRD_API int ek_brd_lib_get_usbnet_status(int *status);
EK_BRD_API int ek_wanif_get_wan_priority_from_dcd_shm(const char *ifname);

/* ------------------------------------------------------------------ */
/* NAT policy table (ids 1..128)                                       */
/* ------------------------------------------------------------------ */

EK_BRD_API int ek_brd_cpe_shm_request_nat_policy_id(void);
EK_BRD_API void ek_brd_cpe_shm_save_nat_policy(int id, const char *name, int type);
EK_BRD_API void ek_brd_cpe_shm_delete_nat_policy(int id);
EK_BRD_API int ek_brd_cpe_shm_get_nat_policy_id(const char *name);
EK_BRD_API int ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(const char *policy_name,
                                                                        const char *ifname);
EK_BRD_API char *ek_brd_cpe_shm_get_nat_policy_name(int id);
/* index is 0-based; buf must have room for one more line of 75 characters. */
EK_BRD_API void ek_brd_cpe_shm_get_nat_policy_output(int index, char *buf);

/* ------------------------------------------------------------------ */
/* Sorted lookups and the local-subnet test                            */
/* ------------------------------------------------------------------ */

/* table: count word, then 16-byte records keyed by two unsigned words. */
EK_BRD_API void ek_brd_find_static_route_index_in_brd_static_routes_local(
    const void *table, uint32_t key0, uint32_t key1, int lo, int hi, int *index, int *found);
/* table: count word, then 36-byte records keyed by two unsigned words. */
EK_BRD_API void ek_brd_find_subnet_index_in_vpn_internal_subnets_local(const void *table,
                                                                       uint32_t key0, uint32_t key1,
                                                                       int lo, int hi, int *index,
                                                                       int *found);
EK_BRD_API int ek_brd_lib_is_cpe_local_subnet(const uint32_t *addr, const uint32_t *mask);

/* ------------------------------------------------------------------ */
/* USB modem segment and lock                                          */
/* ------------------------------------------------------------------ */

EK_BRD_API int ek_brd_lib_usb_modem_init(void);
EK_BRD_API int ek_brd_lib_usb_modem_get_shm(void **out);
EK_BRD_API int ek_brd_lib_usb_modem_cfg_lock(void);
EK_BRD_API int ek_brd_lib_usb_modem_cfg_unlock(void);

/* ------------------------------------------------------------------ */
/* USB modem configuration store                                       */
/* ------------------------------------------------------------------ */

EK_BRD_API int ek_brd_lib_usb_modem_cfg_is_entry_valid(const ek_usb_modem_cfg_t *entry);
EK_BRD_API int ek_brd_lib_usb_modem_db_store_entry(const ek_usb_modem_cfg_t *entry);
EK_BRD_API int ek_brd_lib_usb_modem_db_delete_entry_by_modem_id(const char *modem_id);
EK_BRD_API int ek_brd_lib_usb_modem_db_get_entry_by_modem_id(const char *modem_id,
                                                             ek_usb_modem_cfg_t *out);
EK_BRD_API int ek_brd_lib_usb_modem_db_get_num(void);
/* Appends ek_usb_modem_cfg_node_t nodes at the tail of an initialised list. */
EK_BRD_API int ek_brd_lib_usb_modem_db_getall(struct ek_list_head *list);
EK_BRD_API void ek_brd_lib_usb_modem_db_getall_cfg(ek_db_handle_t db, ek_db_key_desc_t key,
                                                   void *list);
EK_BRD_API int ek_brd_lib_usb_modem_db_get_entry_by_usb_id(uint16_t vid, uint16_t pid,
                                                           ek_usb_modem_cfg_t *out);
EK_BRD_API void ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(uint16_t vid, uint16_t pid,
                                                           ek_usb_modem_cfg_t *entry);
EK_BRD_API void ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(uint16_t vid, uint16_t pid,
                                                              ek_usb_modem_cfg_t *entry);

/* ------------------------------------------------------------------ */
/* USB mode-switch store                                               */
/* ------------------------------------------------------------------ */

EK_BRD_API int ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(const ek_usb_modeswitch_t *entry);
EK_BRD_API int ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(uint16_t vid, uint16_t pid);
EK_BRD_API int ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(uint16_t vid, uint16_t pid,
                                                                ek_usb_modeswitch_t *out);
/* Appends ek_usb_modeswitch_node_t nodes at the tail of an initialised list. */
EK_BRD_API int ek_brd_lib_usb_modem_db_getall_usb_modeswitch(struct ek_list_head *list);
EK_BRD_API void ek_brd_lib_usb_modem_db_getall_usb_modeswitch_entry(ek_db_handle_t db,
                                                                    ek_db_key_desc_t key,
                                                                    void *list);

/* ------------------------------------------------------------------ */
/* USB device probing                                                  */
/* ------------------------------------------------------------------ */

EK_BRD_API int ek_brd_lib_usb_modem_get_attached_dev(uint16_t *vid, uint16_t *pid);
EK_BRD_API int ek_brd_lib_usb_modem_modeswitch(uint16_t vid, uint16_t pid, const char *message);
EK_BRD_API int ek_brd_lib_usb_modem_get_ttydev_count(void);

#ifdef __cplusplus
}
#endif

#endif /* EK_BRD_H */
