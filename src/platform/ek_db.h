/*
 * The platform's key-value database library, libek_db.so.
 *
 * On the router this is a closed library; on any other machine host/db
 * provides it. libek_brd.so lists it as NEEDED. Results are signed 32-bit.
 */
#ifndef EK_PLATFORM_EK_DB_H
#define EK_PLATFORM_EK_DB_H

#include "ek_brd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The second argument of open and delete; every caller in the platform
 * passes this value. */
#define EK_DB_MODE 5

#if defined(EK_DB_BUILDING)
#define EK_DB_API __attribute__((visibility("default")))
#else
#define EK_DB_API
#endif

/* A non-null handle, or null on failure. */
EK_DB_API ek_db_handle_t ek_db_open_ex(const char *path, int32_t mode);
/* The number of records, 0 or more. */
EK_DB_API int32_t ek_db_count(ek_db_handle_t db);
/* 0 with the whole value copied to out; anything else is failure. */
EK_DB_API int32_t ek_db_fetch(ek_db_handle_t db, const void *key, int32_t key_len, void *out);
/* Negative on failure. */
EK_DB_API int32_t ek_db_store(ek_db_handle_t db, const void *key, int32_t key_len,
                              const void *value, int32_t value_len);
/* Negative on failure. */
EK_DB_API int32_t ek_db_delete_ex(ek_db_handle_t db, const void *key, int32_t key_len,
                                  int32_t mode);
/* Calls cb(db, key descriptor, arg) once per record before it returns. */
EK_DB_API int32_t ek_db_foreach(ek_db_handle_t db, ek_db_foreach_cb_t cb, void *arg);
/* The value named by key copied to out; negative on failure. */
EK_DB_API int32_t ek_db_fetch_bykey(ek_db_handle_t db, ek_db_key_desc_t key, void *out);
EK_DB_API int32_t ek_db_close(ek_db_handle_t db);

#ifdef __cplusplus
}
#endif

#endif
