// What another local user can plant in /tmp and in the SysV key space, and
// what the host platform then does for root. A child dropped to uid 65534
// prepares the ground; another child, as root or as that user, stores a
// record or attaches the CPE segment with EK_LOG_STDERR set.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include "child.h"
#include "ek_brd.h"
#include "platform/ek_db.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr const char *kLog = "/tmp/trust.log";

// body's exit code in a child running as uid, its stderr going to kLog.
int as_user(uid_t uid, const std::function<int()> &body) {
    return hosttest::wait_child(hosttest::spawn([&] {
        FILE *log = freopen(kLog, "w", stderr);
        setenv("EK_LOG_STDERR", "1", 1);
        if (log == nullptr ||
            (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))) {
            return 99;
        }
        return body();
    }));
}

int sh(const char *cmd) {
    return std::system(cmd) == 0 ? 0 : 1;
}

// A semaphore stamped by a semop and a segment at the CPE keys (mode 0: none).
int plant_ipc(int sem_mode, int shm_mode) {
    if (sem_mode != 0) {
        int sem = semget(EK_BRD_CPE_SEM_KEY, 1, IPC_CREAT | sem_mode);
        sembuf up{0, 1, 0};
        if (sem < 0 || semop(sem, &up, 1) != 0) return 1;
    }
    return shm_mode == 0 ||
                   shmget(EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE, IPC_CREAT | shm_mode) >= 0
               ? 0
               : 2;
}

int store() {
    ek_db_handle_t db = ek_db_open_ex("/tmp/db/wanif_db", EK_DB_MODE);
    int rc = db != nullptr && ek_db_store(db, "k", 1, "v", 1) == 0 ? 0 : 1;
    ek_db_close(db);
    return rc;
}

int attach() {
    return ek_brd_get_cpe_shm_data() != nullptr ? 0 : 1;
}

struct Row {
    const char *name;
    uid_t planter;
    std::function<int()> plant;
    uid_t user;
    int (*use)();
    const char *refusal;  // the line logged, or null when the use must work
};

const Row kRows[] = {
    {"foreign /tmp/db with links to root's files", kNobody,
     [] {
         return sh(
             "mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db.new &&"
             " ln -s /tmp/root_only/x /tmp/db/wanif_db.lock");
     },
     0, store, "refusing directory /tmp/db (owner uid 65534, mode 0755): owned by another user"},
    {"root's sticky /tmp/db open to all", 0, [] { return sh("mkdir -m 1777 /tmp/db"); }, 0, store,
     "refusing directory /tmp/db (owner uid 0, mode 1777): writable by group or others"},
    {"group-writable database", 0, [] { return store() + sh("chmod 0620 /tmp/db/wanif_db"); }, 0,
     store, "refusing file /tmp/db/wanif_db (owner uid 0, mode 0620): writable by group or others"},
    {"database is a link", 0,
     [] { return sh("mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db"); }, 0, store,
     "refusing file /tmp/db/wanif_db (owner uid 0, mode 0777): a symbolic link, never followed"},
    {"foreign semaphore, no segment", kNobody, [] { return plant_ipc(0600, 0); }, 0, attach,
     "refusing SysV semaphore 0x00015010 (owner uid 65534, creator uid 65534, mode 0600): owned or "
     "created by another user"},
    {"foreign segment, no semaphore", kNobody, [] { return plant_ipc(0, 0600); }, 0, attach,
     "refusing SysV segment 0x00015011 (owner uid 65534, creator uid 65534, mode 0600): owned or "
     "created by another user"},
    {"root's segment readable by group", 0, [] { return plant_ipc(0, 0640); }, 0, attach,
     "refusing SysV segment 0x00015011 (owner uid 0, creator uid 0, mode 0640): open to group or "
     "others"},
    {"stale .new link in root's /tmp/db", 0,
     [] { return sh("mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db.new"); }, 0,
     store, nullptr},
    {"own database of uid 65534", kNobody, store, kNobody, store, nullptr},
    {"own CPE objects of uid 65534", kNobody, attach, kNobody, attach, nullptr},
};

TEST(HostTrust, ForeignOrOpenObjectsAreRefusedOwnOnesWork) {
    if (geteuid() != 0 || as_user(kNobody, [] { return 0; }) != 0) {
        GTEST_SKIP() << "needs root and a uid 65534 to switch to";
    }
    ASSERT_EQ(sh("mkdir -m 0700 /tmp/root_only && echo precious >/tmp/root_only/victim"), 0);
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(sh("rm -rf /tmp/db"), 0);
        semctl(semget(EK_BRD_CPE_SEM_KEY, 0, 0), 0, IPC_RMID);
        shmctl(shmget(EK_BRD_CPE_SHM_KEY, 0, 0), IPC_RMID, nullptr);
        ASSERT_EQ(as_user(row.planter, row.plant), 0);
        EXPECT_EQ(as_user(row.user, row.use), row.refusal != nullptr ? 1 : 0);
        EXPECT_EQ(hosttest::slurp(kLog),
                  row.refusal != nullptr ? std::string(row.refusal) + "\n" : "");
        EXPECT_EQ(hosttest::slurp("/tmp/root_only/victim"), "precious\n");
        EXPECT_NE(access("/tmp/root_only/x", F_OK), 0) << "root followed the lock link";
    }
}

}  // namespace
