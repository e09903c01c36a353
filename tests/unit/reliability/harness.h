// Shared machinery of the reliability suite: the allocation-failure sweep
// and the failure-row runner, both over the fake platform.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "common/list.h"
#include "ek_brd.h"
#include "fake_platform.h"

namespace rel {

inline fake::Faults &faults() {
    return fake::state().faults;
}

// Neither process-local mutex may be left held by a call that returned.
inline void expect_mutexes_free() {
    for (pthread_mutex_t *m : {&g_wanif_db_mutex, &internal_subnet_mutex}) {
        int rc = pthread_mutex_trylock(m);
        EXPECT_EQ(rc, 0) << (m == &g_wanif_db_mutex ? "g_wanif_db_mutex" : "internal_subnet_mutex")
                         << " left held";
        if (rc == 0) pthread_mutex_unlock(m);
    }
}

inline long list_length(const ek_list_head *head) {
    long n = 0;
    for (const ek_list_head *p = head->next; p != head; p = p->next) n++;
    return n;
}

inline void free_list(ek_list_head *head) {
    ek::list_for_each_safe(head, [](ek_list_head *node) { free(node); });
    ek::list_init(head);
}

// What one call under a failing allocation gave back. Nodes on `list`
// belong to the caller: they are the only allocations allowed to outlive
// the call, and the sweep frees them after checking.
struct Outcome {
    long value = 0;
    ek_list_head *list = nullptr;
};

struct SweepCase {
    const char *name;
    std::function<void()> arrange;  // runs on a freshly reset fake
    std::function<Outcome()> act;
    // k is the failing allocation; failed tells whether the call reached it.
    std::function<void(long k, bool failed, const Outcome &)> check;
};

// Fails allocation k = 0, 1, 2, ... of the call until a run completes
// without reaching the failure; returns the number of runs.
inline long sweep(const SweepCase &c) {
    constexpr long kLimit = 10000;
    for (long k = 0; k < kLimit; k++) {
        SCOPED_TRACE(std::string(c.name) + ", allocation " + std::to_string(k) + " failing");
        // The library keeps the address of a segment it attached for the
        // life of the process, so segments outlive the reset.
        auto segments = std::move(fake::state().shms);
        fake::state().shms.clear();
        fake::reset();
        fake::state().shms = std::move(segments);
        c.arrange();
        fake::arm_malloc(k);
        Outcome out = c.act();
        fake::disarm_malloc();
        long live = fake::live_allocations();
        bool failed = fake::state().calls.mallocs > k;

        long owned = out.list != nullptr ? list_length(out.list) : 0;
        EXPECT_EQ(live, owned) << "allocations left behind besides the caller's nodes";
        EXPECT_EQ(fake::open_handles(), 0);
        expect_mutexes_free();
        c.check(k, failed, out);
        if (out.list != nullptr) free_list(out.list);
        if (::testing::Test::HasFatalFailure()) return k + 1;
        if (!failed) {
            printf("[  SWEEP   ] %s: %ld runs\n", c.name, k + 1);
            return k + 1;
        }
    }
    ADD_FAILURE() << c.name << " still allocating after " << kLimit << " runs";
    return kLimit;
}

// One row of a failure table: what is broken, the call, its exact result
// and the exact lines on the channel the row names (every other channel
// stays silent).
struct Row {
    std::string name;
    std::function<void()> arrange;
    std::function<long()> act;
    long result;
    fake::Channel channel;
    std::function<std::vector<std::string>()> messages;  // asked after the call
    std::function<void()> verify = [] {};
    bool fresh_process = false;  // once-only state of the library is involved
};

inline std::function<std::vector<std::string>()> lines(std::vector<std::string> texts) {
    return [texts] { return texts; };
}

// The call with allocation k failing; nothing it allocated may outlive it.
inline std::function<long()> starved(long k, std::function<long()> call) {
    return [k, call] {
        fake::arm_malloc(k);
        long r = call();
        fake::disarm_malloc();
        EXPECT_EQ(fake::live_allocations(), 0);
        return r;
    };
}

inline void run_row(const Row &row) {
    row.arrange();
    EXPECT_EQ(row.act(), row.result);
    for (fake::Channel ch : {fake::Channel::ek_err, fake::Channel::ek_log, fake::Channel::syslog}) {
        std::vector<std::string> want;
        if (ch == row.channel) want = row.messages();
        EXPECT_EQ(fake::texts(ch), want) << "channel " << static_cast<int>(ch);
    }
    for (const fake::LogLine &l : fake::logs(row.channel)) {
        switch (l.channel) {
            case fake::Channel::ek_err:
                EXPECT_EQ(l.tag, " ");
                EXPECT_GT(l.line, 0);
                break;
            case fake::Channel::ek_log:
                EXPECT_EQ(l.level, 7);
                break;
            case fake::Channel::syslog:
                EXPECT_EQ(l.level, 3);
                break;
        }
    }
    EXPECT_EQ(fake::open_handles(), 0);
    expect_mutexes_free();
    row.verify();
}

// Runs every row; `listed` names the rows the failure table has, in order,
// so that a row missing from the table test shows up as a difference.
inline void run_rows(const std::vector<std::string> &listed, const std::vector<Row> &rows) {
    std::vector<std::string> names;
    for (const Row &r : rows) names.push_back(r.name);
    EXPECT_EQ(names, listed);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        fake::reset();
        if (r.fresh_process) {
            fake::in_fresh_process([&r] { run_row(r); });
        } else {
            run_row(r);
        }
    }
}

}  // namespace rel
