// The host database against LMDB and SQLite on the same 64 records of 904
// bytes: open + walk every record + close, and open + store one record +
// close, each engine as a one-shot caller uses it (nothing stays open
// between calls, as in the library).
//
// Settings, chosen to match what the host database promises:
//   host    every store: new image written, fdatasync, rename, fsync of the
//           directory.
//   LMDB    default environment flags (sync on commit, MDB_NOSYNC off);
//           the walk opens the environment MDB_RDONLY, read transaction,
//           cursor walk.
//   SQLite  default journal (rollback, DELETE) and synchronous=FULL, one
//           table kv(k BLOB PRIMARY KEY, v BLOB); the walk opens read-only
//           and steps a prepared SELECT. A WAL + synchronous=FULL variant
//           of the store is measured too.
// Every walk copies each value into one 904-byte buffer, as the library's
// callers do. The walk's floor is open + read + close of the host file.
//
// The directory comes from EK_BENCH_DIR (default /tmp/bench-db) so that one
// run can measure tmpfs and another a disk-backed file system.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/ek_db.h"

namespace {

constexpr int kRecords = 64;
constexpr size_t kValueSize = sizeof(ek_wanif_entry_t);

std::string g_dir;
std::vector<bench::Record> g_records;

std::string host_path() {
    return g_dir + "/host/wanif_db";
}
std::string lmdb_dir() {
    return g_dir + "/lmdb";
}
std::string sqlite_path() {
    return g_dir + "/sqlite/kv.db";
}
std::string sqlite_wal_path() {
    return g_dir + "/sqlite-wal/kv.db";
}

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "setup failed: %s\n", what);
        exit(2);
    }
}

void setup_lmdb() {
    bench::make_dirs(lmdb_dir());
    MDB_env *env = nullptr;
    check(mdb_env_create(&env) == 0 && mdb_env_open(env, lmdb_dir().c_str(), 0, 0644) == 0,
          "lmdb open");
    MDB_txn *txn = nullptr;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, 0, &txn) == 0 && mdb_dbi_open(txn, nullptr, 0, &dbi) == 0,
          "lmdb txn");
    for (auto &[key, value] : g_records) {
        MDB_val k{key.size(), key.data()};
        MDB_val v{value.size(), value.data()};
        check(mdb_put(txn, dbi, &k, &v, 0) == 0, "lmdb put");
    }
    check(mdb_txn_commit(txn) == 0, "lmdb commit");
    mdb_env_close(env);
}

void sqlite_exec(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        fprintf(stderr, "%s: %s\n", sql, err);
        exit(2);
    }
}

void setup_sqlite(const std::string &path, bool wal) {
    bench::make_dirs(path.substr(0, path.rfind('/')));
    unlink(path.c_str());
    sqlite3 *db = nullptr;
    check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite open");
    if (wal) sqlite_exec(db, "PRAGMA journal_mode=WAL");
    sqlite_exec(db, "CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB NOT NULL)");
    sqlite_exec(db, "BEGIN");
    sqlite3_stmt *ins = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO kv(k, v) VALUES(?1, ?2)", -1, &ins, nullptr) ==
              SQLITE_OK,
          "sqlite prepare");
    for (auto &[key, value] : g_records) {
        sqlite3_bind_blob(ins, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        sqlite3_bind_blob(ins, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
        check(sqlite3_step(ins) == SQLITE_DONE, "sqlite insert");
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite_exec(db, "COMMIT");
    sqlite3_close(db);
}

void setup() {
    const char *dir = getenv("EK_BENCH_DIR");
    g_dir = dir != nullptr && *dir != '\0' ? dir : "/tmp/bench-db";
    g_records = bench::wanif_records(kRecords);
    bench::write_db(host_path(), g_records);
    setup_lmdb();
    setup_sqlite(sqlite_path(), false);
    setup_sqlite(sqlite_wal_path(), true);
}

// ---- walk: open, every record into one buffer, close

struct WalkState {
    unsigned char buf[kValueSize];
    int seen;
};

void host_fetch(ek_db_handle_t db, ek_db_key_desc_t key, void *arg) {
    auto *w = static_cast<WalkState *>(arg);
    if (ek_db_fetch_bykey(db, key, w->buf) >= 0) ++w->seen;
}

void BM_walk_host(benchmark::State &state) {
    std::string path = host_path();
    WalkState w;
    for (auto _ : state) {
        w.seen = 0;
        ek_db_handle_t db = ek_db_open_ex(path.c_str(), EK_DB_MODE);
        ek_db_count(db);
        ek_db_foreach(db, host_fetch, &w);
        ek_db_close(db);
        benchmark::DoNotOptimize(w);
    }
    if (w.seen != kRecords) state.SkipWithError("host walk saw the wrong count");
}
BENCHMARK(BM_walk_host);

// The floor of any walk: the same file's bytes read into a buffer that is
// already there, with open + read + close and nothing of the database.
void BM_walk_file_floor(benchmark::State &state) {
    std::string path = host_path();
    struct stat st;
    check(stat(path.c_str(), &st) == 0, "host database file");
    std::vector<unsigned char> buf(static_cast<size_t>(st.st_size) + 1);
    ssize_t got = 0;
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        got = read(fd, buf.data(), buf.size());
        close(fd);
        benchmark::DoNotOptimize(buf.data());
    }
    if (got != st.st_size) state.SkipWithError("short read");
}
BENCHMARK(BM_walk_file_floor);

void BM_walk_lmdb(benchmark::State &state) {
    std::string dir = lmdb_dir();
    WalkState w;
    for (auto _ : state) {
        w.seen = 0;
        MDB_env *env = nullptr;
        MDB_txn *txn = nullptr;
        MDB_cursor *cur = nullptr;
        MDB_dbi dbi;
        mdb_env_create(&env);
        if (mdb_env_open(env, dir.c_str(), MDB_RDONLY, 0644) == 0 &&
            mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0) {
            if (mdb_dbi_open(txn, nullptr, 0, &dbi) == 0 && mdb_cursor_open(txn, dbi, &cur) == 0) {
                MDB_val k, v;
                while (mdb_cursor_get(cur, &k, &v, MDB_NEXT) == 0) {
                    memcpy(w.buf, v.mv_data, v.mv_size < kValueSize ? v.mv_size : kValueSize);
                    ++w.seen;
                }
                mdb_cursor_close(cur);
            }
            mdb_txn_abort(txn);
        }
        mdb_env_close(env);
        benchmark::DoNotOptimize(w);
    }
    if (w.seen != kRecords) state.SkipWithError("lmdb walk saw the wrong count");
}
BENCHMARK(BM_walk_lmdb);

void BM_walk_sqlite(benchmark::State &state) {
    std::string path = sqlite_path();
    WalkState w;
    for (auto _ : state) {
        w.seen = 0;
        sqlite3 *db = nullptr;
        sqlite3_stmt *sel = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "SELECT v FROM kv", -1, &sel, nullptr) == SQLITE_OK) {
            while (sqlite3_step(sel) == SQLITE_ROW) {
                auto n = static_cast<size_t>(sqlite3_column_bytes(sel, 0));
                memcpy(w.buf, sqlite3_column_blob(sel, 0), n < kValueSize ? n : kValueSize);
                ++w.seen;
            }
        }
        sqlite3_finalize(sel);
        sqlite3_close(db);
        benchmark::DoNotOptimize(w);
    }
    if (w.seen != kRecords) state.SkipWithError("sqlite walk saw the wrong count");
}
BENCHMARK(BM_walk_sqlite);

// ---- store: open, replace one record, close. The key and a value byte
// change every iteration so that no engine can skip the write.

struct StoreCursor {
    int i = 0;
    const bench::Record &next(std::vector<unsigned char> &value) {
        const bench::Record &r = g_records[static_cast<size_t>(i % kRecords)];
        value = r.second;
        value[kValueSize - 1] = static_cast<unsigned char>(i);
        ++i;
        return r;
    }
};

void BM_store_host(benchmark::State &state) {
    std::string path = host_path();
    StoreCursor c;
    std::vector<unsigned char> value;
    for (auto _ : state) {
        const auto &r = c.next(value);
        ek_db_handle_t db = ek_db_open_ex(path.c_str(), EK_DB_MODE);
        int rc = ek_db_store(db, r.first.data(), static_cast<int32_t>(r.first.size()), value.data(),
                             static_cast<int32_t>(value.size()));
        ek_db_close(db);
        if (rc < 0) {
            state.SkipWithError("host store failed");
            break;
        }
    }
}
BENCHMARK(BM_store_host)->UseRealTime();

void BM_store_lmdb(benchmark::State &state) {
    std::string dir = lmdb_dir();
    StoreCursor c;
    std::vector<unsigned char> value;
    for (auto _ : state) {
        const auto &r = c.next(value);
        MDB_env *env = nullptr;
        MDB_txn *txn = nullptr;
        MDB_dbi dbi;
        int rc = mdb_env_create(&env);
        if (rc == 0) rc = mdb_env_open(env, dir.c_str(), 0, 0644);
        if (rc == 0) rc = mdb_txn_begin(env, nullptr, 0, &txn);
        if (rc == 0) rc = mdb_dbi_open(txn, nullptr, 0, &dbi);
        if (rc == 0) {
            MDB_val k{r.first.size(), const_cast<char *>(r.first.data())};
            MDB_val v{value.size(), value.data()};
            rc = mdb_put(txn, dbi, &k, &v, 0);
            if (rc == 0) {
                rc = mdb_txn_commit(txn);
            } else {
                mdb_txn_abort(txn);
            }
        }
        mdb_env_close(env);
        if (rc != 0) {
            state.SkipWithError("lmdb store failed");
            break;
        }
    }
}
BENCHMARK(BM_store_lmdb)->UseRealTime();

void sqlite_store(benchmark::State &state, const std::string &path, const char *open_sql) {
    StoreCursor c;
    std::vector<unsigned char> value;
    for (auto _ : state) {
        const auto &r = c.next(value);
        sqlite3 *db = nullptr;
        sqlite3_stmt *ins = nullptr;
        bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                  (open_sql == nullptr ||
                   sqlite3_exec(db, open_sql, nullptr, nullptr, nullptr) == SQLITE_OK) &&
                  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO kv(k, v) VALUES(?1, ?2)", -1, &ins,
                                     nullptr) == SQLITE_OK;
        if (ok) {
            sqlite3_bind_blob(ins, 1, r.first.data(), static_cast<int>(r.first.size()),
                              SQLITE_STATIC);
            sqlite3_bind_blob(ins, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
            ok = sqlite3_step(ins) == SQLITE_DONE;
        }
        sqlite3_finalize(ins);
        sqlite3_close(db);
        if (!ok) {
            state.SkipWithError("sqlite store failed");
            break;
        }
    }
}

// Rollback journal (DELETE), synchronous=FULL: the library defaults.
void BM_store_sqlite(benchmark::State &state) {
    sqlite_store(state, sqlite_path(), nullptr);
}
BENCHMARK(BM_store_sqlite)->UseRealTime();

// WAL with synchronous=FULL, set on every connection as it does not persist.
void BM_store_sqlite_wal(benchmark::State &state) {
    sqlite_store(state, sqlite_wal_path(), "PRAGMA synchronous=FULL");
}
BENCHMARK(BM_store_sqlite_wal)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    setup();
    benchmark::AddCustomContext("db_dir", g_dir);
    benchmark::AddCustomContext("sqlite_version", sqlite3_libversion());
    benchmark::AddCustomContext("lmdb_version", mdb_version(nullptr, nullptr, nullptr));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
