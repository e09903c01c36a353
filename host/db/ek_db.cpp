// Placeholder: every call fails until the real store lands.
#include "platform/ek_db.h"

extern "C" {
ek_db_handle_t ek_db_open_ex(const char *, int32_t) {
    return nullptr;
}
int32_t ek_db_count(ek_db_handle_t) {
    return 0;
}
int32_t ek_db_fetch(ek_db_handle_t, const void *, int32_t, void *) {
    return -1;
}
int32_t ek_db_store(ek_db_handle_t, const void *, int32_t, const void *, int32_t) {
    return -1;
}
int32_t ek_db_delete_ex(ek_db_handle_t, const void *, int32_t, int32_t) {
    return -1;
}
int32_t ek_db_foreach(ek_db_handle_t, ek_db_foreach_cb_t, void *) {
    return -1;
}
int32_t ek_db_fetch_bykey(ek_db_handle_t, ek_db_key_desc_t, void *) {
    return -1;
}
int32_t ek_db_close(ek_db_handle_t) {
    return 0;
}
}
