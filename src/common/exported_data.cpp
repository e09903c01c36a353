// The library's exported process-local data.
#include <pthread.h>
#include <stdint.h>

#include "ek_brd.h"

extern "C" {
pthread_mutex_t g_wanif_db_mutex = PTHREAD_MUTEX_INITIALIZER;
int32_t db_wanif_idx = 0;
pthread_mutex_t internal_subnet_mutex = PTHREAD_MUTEX_INITIALIZER;
}
