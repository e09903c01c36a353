/*
 * libek_brd: shared state of the router platform's brd component.
 *
 * Plain C (C99 and later, and C++). Every record below is a memory image
 * shared with other processes of the platform: offsets and widths are an
 * interface and are pinned by the assertions at the end of each record.
 * Multi-byte fields are in the host's native byte order.
 *
 * Conventions of the functions below. Nothing is thrown and no errno is
 * set: failures are logged, to syslog (LOG_ERR, texts beginning "WANIF: ")
 * for the WAN-interface and NAT families, through the platform's __ek_err
 * for all others. Every call does its work on the caller's thread; each
 * database is opened and closed within one call. Memory is the caller's
 * only where a comment says so (the list nodes of the two getall
 * functions, released with free()); everything else a call allocates is
 * released before it returns. The shared segments stay attached until the
 * process ends.
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
    int32_t type; /* EK_BRD_NAT_TYPE_TUNNEL or EK_BRD_NAT_TYPE_OTHER */
} ek_nat_policy_t;

/* NAT policy types: for interfaces whose name begins with "tunnel", and for
 * all others. Any other value may be stored and suits no interface. */
#define EK_BRD_NAT_TYPE_TUNNEL 1
#define EK_BRD_NAT_TYPE_OTHER 2

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

/* Held by every WAN-interface query and priority check of this process
 * while it reads /tmp/db/wanif_db; not recursive. A caller may hold it to
 * keep them out, but must not call them meanwhile. */
extern EK_BRD_API pthread_mutex_t g_wanif_db_mutex;
/* Cursor of the wanif_db read under g_wanif_db_mutex: after a query, the
 * number of records it was handed. Read-only for callers. */
extern EK_BRD_API int32_t db_wanif_idx;
/* Held by ek_brd_lib_is_cpe_local_subnet around its search of the VPN
 * internal-subnet table; writers of that table in this process take it too. */
extern EK_BRD_API pthread_mutex_t internal_subnet_mutex;

/* ------------------------------------------------------------------ */
/* Routing and CPE segments                                            */
/* ------------------------------------------------------------------ */

/* Base address of the segment, attached by the process's first call (which
 * also zeroes the routing word at EK_BRD_ROUTING_RESET_OFFSET, or sets up
 * the header of a new CPE segment). NULL when attaching failed; a failed
 * attach is not retried in this process. Never free or detach it. Logs a
 * routing failure through __ek_err; a CPE failure silently. */
EK_BRD_API void *ek_brd_get_routing_shm_data(void);
EK_BRD_API void *ek_brd_get_cpe_shm_data(void);
/* The two values of the CPE segment, stored and returned unchanged, at
 * EK_BRD_CPE_SAVE_REPORT_OFFSET and EK_BRD_CPE_BRD_AUTH_OFFSET. Without a
 * CPE segment a getter returns 0 and a setter does nothing. No lock. */
EK_BRD_API int ek_brd_get_save_report_flag(void);
EK_BRD_API void ek_brd_set_save_report_flag(int flag);
EK_BRD_API int ek_brd_get_brd_auth(void);
EK_BRD_API void ek_brd_set_brd_auth(int value);

/* ------------------------------------------------------------------ */
/* WAN interface table                                                 */
/* ------------------------------------------------------------------ */

/* Queries over the records of /tmp/db/wanif_db, read afresh by every call
 * under g_wanif_db_mutex. Interface names match over at most 16 bytes,
 * case-sensitively. None returns a negative value: a database that cannot
 * be opened or read answers like one without a matching record (0), after
 * logging "WANIF: brd: open DB failed : /tmp/db/wanif_db" or the failure.
 *
 * ek_brd_get_wanif_count: records whose ifname does not begin with "tunnel".
 * ek_brd_check_intf_active_dft_wan, ek_brd_check_intf_wanif: 1 when a
 * record of that ifname is marked active default WAN / WAN, else 0.
 * ek_brd_cpe_shm_check_wan_intf_ip: 1 when a record with a non-empty
 * ifname holds ip_addr (the word as stored), else 0.
 * ek_brd_get_pppoe_ethnet_kifidx: pppoe_ethnet_kifidx of the first PPPoE
 * record of that ifname, else 0. */
EK_BRD_API int ek_brd_get_wanif_count(void);
EK_BRD_API int ek_brd_check_intf_active_dft_wan(const char *ifname);
EK_BRD_API int ek_brd_check_intf_wanif(const char *ifname);
EK_BRD_API int ek_brd_cpe_shm_check_wan_intf_ip(uint32_t ip_addr);
EK_BRD_API int ek_brd_get_pppoe_ethnet_kifidx(const char *ifname);

/* The kind code of ek_brd_check_cfg_priority_valid that also refuses while
 * the USB network is in primary-WAN mode. */
#define EK_BRD_PRIORITY_KIND_USBNET 45

/* 1 when priority (1-9999) may be configured: no record holds it and, for
 * kind EK_BRD_PRIORITY_KIND_USBNET only, the usbnet0 record is not in
 * primary-WAN mode (priority 0).
 * 0 when refused, with the reason written into msg as a sentence for the
 * user ending in a newline; an empty or unreadable database refuses too.
 * msg must hold at least 86 bytes; it is not written when the result is 1,
 * except "brd: malloc failed for all_entry\n", which comes with 1. Logs
 * database and allocation failures to syslog. */
EK_BRD_API int ek_brd_check_cfg_priority_valid(int kind, int priority, char *msg);
/* 0 with the usbnet0 record's status code (1-4) stored in *status; -1 when
 * there is no such record or code, *status unchanged. Logs only a failed
 * open, through __ek_err. */
EK_BRD_API int ek_brd_lib_get_usbnet_status(int *status);
/* The WAN priority the device configuration service holds for ifname, or
 * -1 (also a priority of -1). eth and p names are asked by kernel
 * interface index, so one the kernel does not know answers -1; usbnet, ppp
 * and usb names by name; others -1 unasked. Logs a failed query to syslog. */
EK_BRD_API int ek_wanif_get_wan_priority_from_dcd_shm(const char *ifname);

/* ------------------------------------------------------------------ */
/* NAT policy table (ids 1..128)                                       */
/* ------------------------------------------------------------------ */

/* The 128 slots of the CPE segment, read and written in place without a
 * lock: callers that may race serialise among themselves. A slot whose
 * name is empty is free. Without a CPE segment nothing is changed and the
 * lookups answer 0 (NULL for the name). */

/* Lowest free id, or 0 when all 128 are used. Reserves nothing. */
EK_BRD_API int ek_brd_cpe_shm_request_nat_policy_id(void);
/* Stores name (cut to 32 characters) and type in slot id (1-128); an id
 * outside that range changes nothing. Does not look for the name in other
 * slots: the lookups by name then find the lower id. An empty name leaves
 * the slot free. */
EK_BRD_API void ek_brd_cpe_shm_save_nat_policy(int id, const char *name, int type);
/* Clears slot id; an id outside 1-128 is logged to syslog and ignored. */
EK_BRD_API void ek_brd_cpe_shm_delete_nat_policy(int id);
/* Id of the lowest used slot named exactly name, or 0. */
EK_BRD_API int ek_brd_cpe_shm_get_nat_policy_id(const char *name);
/* 1 when the policy's type suits ifname: type 1 for names beginning with
 * "tunnel", type 2 for all others. 0 otherwise, also for no such policy. */
EK_BRD_API int ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(const char *policy_name,
                                                                        const char *ifname);
/* The name field of slot id inside the segment, not a copy: do not free
 * it; it changes when the slot does. "" for a free slot. NULL for an id
 * below 1, or above 128 (logged to syslog). */
EK_BRD_API char *ek_brd_cpe_shm_get_nat_policy_name(int id);
/* Appends "\tnat_policy_id|name|type: ID|NAME|TYPE\n" for slot index
 * (0-based) to the NUL-terminated text in buf, or nothing for a free slot
 * or an index outside 0-127. buf needs room for 75 more characters and NUL. */
EK_BRD_API void ek_brd_cpe_shm_get_nat_policy_output(int index, char *buf);

/* ------------------------------------------------------------------ */
/* Sorted lookups and the local-subnet test                            */
/* ------------------------------------------------------------------ */

/* Binary searches of a sorted table between record indexes lo and hi
 * (inclusive): *found is 1 with *index at the key, or 0 with *index where
 * the key would be inserted (the count word when hi < lo). Keys compare as
 * two unsigned words, first word first. Both outputs are always written;
 * no lock, no log.
 * table: count word, then 16-byte records keyed by two unsigned words. */
EK_BRD_API void ek_brd_find_static_route_index_in_brd_static_routes_local(
    const void *table, uint32_t key0, uint32_t key1, int lo, int hi, int *index, int *found);
/* table: count word, then 36-byte records keyed by two unsigned words. */
EK_BRD_API void ek_brd_find_subnet_index_in_vpn_internal_subnets_local(const void *table,
                                                                       uint32_t key0, uint32_t key1,
                                                                       int lo, int hi, int *index,
                                                                       int *found);
/* 1 when the pair *addr, *mask is the subnet of an interface whose name begins with
 * "mgt0" (same network part and mask, addresses from the device
 * configuration service), or else a VPN internal subnet of the CPE segment
 * marked local (exact pair); 0 otherwise. Reads /proc/net/dev; when it
 * cannot, logs through __ek_err and answers 0 without the table. */
EK_BRD_API int ek_brd_lib_is_cpe_local_subnet(const uint32_t *addr, const uint32_t *mask);

/* ------------------------------------------------------------------ */
/* USB modem segment and lock                                          */
/* ------------------------------------------------------------------ */

/* Creates or attaches the 32-byte USB modem segment and its semaphore,
 * once per process: 0 (also when already done), -1 on failure (logged
 * through __ek_err when the semaphore fails; a later call tries again). */
EK_BRD_API int ek_brd_lib_usb_modem_init(void);
/* Writes the segment's address, NULL before a successful init; returns 0.
 * The 32 bytes are the callers'; never free them. */
EK_BRD_API int ek_brd_lib_usb_modem_get_shm(void **out);
/* The cross-process USB modem lock, for callers' read-modify-write of the
 * stores below (which never take it themselves). -1 before a successful
 * init, else the semaphore wait's / signal's result. Pair each lock with
 * one unlock. */
EK_BRD_API int ek_brd_lib_usb_modem_cfg_lock(void);
EK_BRD_API int ek_brd_lib_usb_modem_cfg_unlock(void);

/* ------------------------------------------------------------------ */
/* USB modem configuration store                                       */
/* ------------------------------------------------------------------ */

/* /tmp/db/usb_modem_cfg, one record per modem keyed by modem_id. Failures
 * are logged through __ek_err with texts beginning "usb_modem: "; a
 * database that cannot be opened gives -1. */

/* 1 when entry is non-NULL with a modem id, at least one USB id and a
 * non-zero vid and pid in slot 0; else 0. The stores do not check. */
EK_BRD_API int ek_brd_lib_usb_modem_cfg_is_entry_valid(const ek_usb_modem_cfg_t *entry);
/* 0 stored (under entry->modem_id), -1 failed (logged). */
EK_BRD_API int ek_brd_lib_usb_modem_db_store_entry(const ek_usb_modem_cfg_t *entry);
/* 0 deleted, -1 failed (logged). */
EK_BRD_API int ek_brd_lib_usb_modem_db_delete_entry_by_modem_id(const char *modem_id);
/* 0 with the whole record copied to *out; -1 when there is none (not
 * logged, *out unchanged) or the database cannot be opened. */
EK_BRD_API int ek_brd_lib_usb_modem_db_get_entry_by_modem_id(const char *modem_id,
                                                             ek_usb_modem_cfg_t *out);
/* The record count as the database gives it, or -1 when it cannot be
 * opened. */
EK_BRD_API int ek_brd_lib_usb_modem_db_get_num(void);
/* Appends one malloc'd ek_usb_modem_cfg_node_t per record at the tail of an
 * initialised list: the caller owns the nodes and frees each with free().
 * 0 after the walk (a record that cannot be read is logged and left out),
 * -1 when the database cannot be opened (list unchanged). */
EK_BRD_API int ek_brd_lib_usb_modem_db_getall(struct ek_list_head *list);
/* The ek_db_foreach callback of the above: appends one node to list. */
EK_BRD_API void ek_brd_lib_usb_modem_db_getall_cfg(ek_db_handle_t db, ek_db_key_desc_t key,
                                                   void *list);
/* 0 with the first record listing vid:pid copied to *out; -1 otherwise
 * (*out unchanged; logged only when the database cannot be read). */
EK_BRD_API int ek_brd_lib_usb_modem_db_get_entry_by_usb_id(uint16_t vid, uint16_t pid,
                                                           ek_usb_modem_cfg_t *out);
/* Edit *entry in the caller's memory only (store it to keep the change).
 * Add appends vid:pid unless present or the record holds 8; remove drops
 * its first occurrence, moving later ids up. No result, no log. */
EK_BRD_API void ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(uint16_t vid, uint16_t pid,
                                                           ek_usb_modem_cfg_t *entry);
EK_BRD_API void ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(uint16_t vid, uint16_t pid,
                                                              ek_usb_modem_cfg_t *entry);

/* ------------------------------------------------------------------ */
/* USB mode-switch store                                               */
/* ------------------------------------------------------------------ */

/* /tmp/db/usb_modem_mode_switch, one record per device keyed by its ids as
 * the 8 hex digits "%04x%04x". Store and delete: 0 done, -1 failed
 * (logged through __ek_err, "usb_modem: ..."). */
EK_BRD_API int ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(const ek_usb_modeswitch_t *entry);
EK_BRD_API int ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(uint16_t vid, uint16_t pid);
/* 0 with the record copied to *out; -1 when there is none (*out unchanged). */
EK_BRD_API int ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(uint16_t vid, uint16_t pid,
                                                                ek_usb_modeswitch_t *out);
/* Appends one malloc'd ek_usb_modeswitch_node_t per record at the tail of an
 * initialised list; the caller frees each node with free(). 0, or -1 when
 * the database cannot be opened. */
EK_BRD_API int ek_brd_lib_usb_modem_db_getall_usb_modeswitch(struct ek_list_head *list);
/* The ek_db_foreach callback of the above: appends one node to list. */
EK_BRD_API void ek_brd_lib_usb_modem_db_getall_usb_modeswitch_entry(ek_db_handle_t db,
                                                                    ek_db_key_desc_t key,
                                                                    void *list);

/* ------------------------------------------------------------------ */
/* USB device probing                                                  */
/* ------------------------------------------------------------------ */

/* These run shell commands and read their output back through a temporary
 * file in /tmp; failures are logged through __ek_err. */

/* 1 when lsusb lists a device besides the root hub of bus 1, else 0 (also
 * when lsusb cannot be run). *vid and *pid are written only for the first
 * device that is not a known hub. lsusb's stderr goes to the caller's
 * standard output. */
EK_BRD_API int ek_brd_lib_usb_modem_get_attached_dev(uint16_t *vid, uint16_t *pid);
/* Runs usb_modeswitch -Q -v 0xVID -p 0xPID -M "message" (the command cut
 * at 320 characters; message goes to the shell unquoted inside the double
 * quotes, so pass hex digits only). 0 on success; -1, logged, when no
 * device is attached or the command fails. */
EK_BRD_API int ek_brd_lib_usb_modem_modeswitch(uint16_t vid, uint16_t pid, const char *message);
/* Number of ttyACM and ttyUSB devices in /sys/class/tty, or -1. */
EK_BRD_API int ek_brd_lib_usb_modem_get_ttydev_count(void);

#ifdef __cplusplus
}
#endif

#endif /* EK_BRD_H */
