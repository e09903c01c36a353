// Lazy, once-only attach of the routing and CPE segments.
//
// The first accessor call of a process attaches; the outcome, including a
// null address after a failure, is kept for the life of the process and
// never retried. Two threads may make their first call at the same moment,
// so the once flag is an acquire/release atomic and the attach itself runs
// under a process-local mutex; after that every accessor is one flag test
// and one memory access.
#include <stdint.h>

#include <atomic>

#include "common/raii.h"
#include "common/shm_word.h"
#include "ek_brd.h"
#include "platform/ek_platform.h"

namespace {

int32_t routing_sem_id = -1;
int32_t routing_shm_id = -1;  // handed to ek_shm_create, never read back
std::atomic<int32_t> routing_shm_inited{0};
uint8_t *routing_shm = nullptr;

int32_t cpe_sem_id = -1;
int32_t cpe_shm_id = -1;
std::atomic<int32_t> cpe_shm_inited{0};
uint8_t *cpe_shm = nullptr;

pthread_mutex_t attach_mutex = PTHREAD_MUTEX_INITIALIZER;

constexpr uint32_t kCpeHeaderMarker = 0;
constexpr uint32_t kCpeHeaderWord1 = 4;
constexpr uint32_t kCpeHeaderWord2 = 8;
constexpr int32_t kCpeHeaderWord2Init = 60;

int ek_brd_routing_shm_init() {
    routing_sem_id = ek_sem_create(EK_BRD_ROUTING_SEM_KEY, 1);
    if (routing_sem_id == -1) {
        EK_ERR("ek brd create create routing sem failed!");
        return -1;
    }
    routing_shm = static_cast<uint8_t *>(ek_shm_create(&routing_shm_id, EK_BRD_ROUTING_SHM_KEY,
                                                       EK_BRD_ROUTING_SHM_SIZE, routing_sem_id));
    if (routing_shm == nullptr) {
        EK_ERR("Init routing share memory failed.");
        ek_sem_destroy(routing_sem_id);
        return -1;
    }
    // Every process resets this word when it attaches, not only the creator.
    ek_sem_wait(routing_sem_id);
    ek::shm_word(routing_shm, EK_BRD_ROUTING_RESET_OFFSET) = 0;
    ek_sem_signal(routing_sem_id);
    return 0;
}

int ek_brd_cpe_shm_init() {
    cpe_sem_id = ek_sem_create(EK_BRD_CPE_SEM_KEY, 1);
    if (cpe_sem_id == -1) return -1;
    cpe_shm = static_cast<uint8_t *>(
        ek_shm_create(&cpe_shm_id, EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE, cpe_sem_id));
    if (cpe_shm == nullptr) {
        ek_sem_destroy(cpe_sem_id);
        return -1;
    }
    // A new segment reads as zeros, so a zero marker means nobody has
    // initialised the header yet; the semaphore makes test-and-set atomic
    // across processes.
    ek_sem_wait(cpe_sem_id);
    if (ek::shm_word(cpe_shm, kCpeHeaderMarker) == 0) {
        ek::shm_word(cpe_shm, kCpeHeaderMarker) = 1;
        ek::shm_word(cpe_shm, kCpeHeaderWord1) = 0;
        ek::shm_word(cpe_shm, kCpeHeaderWord2) = kCpeHeaderWord2Init;
    }
    ek_sem_signal(cpe_sem_id);
    return 0;
}

// Out of line and cold, so that the accessors' fast path saves no
// registers and stays a flag test and a load.
template <int (*Init)()>
[[gnu::noinline, gnu::cold]] void attach_slow(std::atomic<int32_t> &inited) {
    ek::MutexGuard guard(attach_mutex);
    if (inited.load(std::memory_order_relaxed) == 0) {
        Init();  // the outcome is the address: null after a failure
        inited.store(1, std::memory_order_release);
    }
}

template <int (*Init)()>
inline uint8_t *attach_once(std::atomic<int32_t> &inited, uint8_t *const &shm) {
    if (inited.load(std::memory_order_acquire) == 0) [[unlikely]]
        attach_slow<Init>(inited);
    return shm;
}

inline uint8_t *cpe() {
    return attach_once<ek_brd_cpe_shm_init>(cpe_shm_inited, cpe_shm);
}

}  // namespace

extern "C" {

void *ek_brd_get_routing_shm_data(void) {
    return attach_once<ek_brd_routing_shm_init>(routing_shm_inited, routing_shm);
}

void *ek_brd_get_cpe_shm_data(void) {
    return cpe();
}

// Without a CPE segment there is no field: getters answer 0, setters drop.
int ek_brd_get_save_report_flag(void) {
    uint8_t *base = cpe();
    return base != nullptr ? ek::shm_word(base, EK_BRD_CPE_SAVE_REPORT_OFFSET) : 0;
}

void ek_brd_set_save_report_flag(int flag) {
    if (uint8_t *base = cpe()) ek::shm_word(base, EK_BRD_CPE_SAVE_REPORT_OFFSET) = flag;
}

int ek_brd_get_brd_auth(void) {
    uint8_t *base = cpe();
    return base != nullptr ? ek::shm_word(base, EK_BRD_CPE_BRD_AUTH_OFFSET) : 0;
}

void ek_brd_set_brd_auth(int value) {
    if (uint8_t *base = cpe()) ek::shm_word(base, EK_BRD_CPE_BRD_AUTH_OFFSET) = value;
}

}  // extern "C"
