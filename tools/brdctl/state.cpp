// export and import: every table of the brd state as one JSON document
// (document.cpp reads, checks and writes it).
//
// Import checks the document whole, then opens everything it will write
// (the segment, each database under the trust rule, its image checked),
// and only then replaces each table in one step.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>

#include "brdctl.h"
#include "document.h"
#include "ek_host.h"
#include "platform/ek_db.h"

namespace brdctl {

namespace {

std::vector<DbRecord> read_db(const DbTable &t) {
    Db db(t.path);
    struct Walk {
        const DbTable *table;
        std::vector<DbRecord> records;
        std::string failure;
    } walk{&t, {}, {}};
    walk.records.reserve(static_cast<std::size_t>(std::max(0, ek_db_count(db.get()))));
    ek_db_foreach(
        db.get(),
        [](ek_db_handle_t h, ek_db_key_desc_t desc, void *arg) {
            auto *w = static_cast<Walk *>(arg);
            if (!w->failure.empty()) return;
            DbRecord r;
            std::int32_t key_len = ek_host_db_key_bykey(h, desc, nullptr, 0);
            if (key_len > 0) {
                r.key.resize(static_cast<std::size_t>(key_len));
                ek_host_db_key_bykey(h, desc, r.key.data(), key_len);
            }
            // The descriptor finds the record at once; a lookup by key
            // would walk the records before it.
            r.value.resize(w->table->size);
            if (key_len <= 0 || ek_db_fetch_bykey(h, desc, r.value.data()) < 0) {
                std::int32_t size =
                    key_len > 0 ? ek_host_db_value_size(h, r.key.data(), key_len) : -1;
                w->failure = "record '" + escaped_prefix(r.key) + "' of " + w->table->path +
                             " is " + std::to_string(size) + " bytes, not " +
                             std::to_string(w->table->size);
                return;
            }
            w->records.push_back(std::move(r));
        },
        &walk);
    if (!walk.failure.empty()) op_failed(walk.failure);
    std::sort(walk.records.begin(), walk.records.end(),
              [](const DbRecord &a, const DbRecord &b) { return a.key < b.key; });
    return std::move(walk.records);
}

Json export_state() {
    State state;
    unsigned char *cpe = cpe_segment();
    state.save_report = ek_brd_get_save_report_flag();
    state.brd_auth = ek_brd_get_brd_auth();
    state.nat = Bytes(
        cpe + EK_BRD_CPE_NAT_TABLE_OFFSET,
        cpe + EK_BRD_CPE_NAT_TABLE_OFFSET + sizeof(ek_nat_policy_t) * EK_BRD_CPE_NAT_POLICY_MAX);
    state.vpn = vpn_records(cpe + EK_BRD_CPE_VPN_SUBNETS_OFFSET);
    for (const DbTable &t : kDbTables) state.dbs.emplace_back(&t, read_db(t));
    return document_of(state);
}

// Everything import will write, tried before the first table is replaced:
// the segment, and each database opened under the trust rule with its image
// checked. A database refused as damaged is set aside when its table is
// replaced: the table of a good document is what it is restored from.
std::vector<const DbTable *> preflight(const State &state) {
    if (state.save_report || state.brd_auth || state.nat || state.vpn) {
        try {
            cpe_segment();
        } catch (const Failure &e) {
            op_failed(std::string(e.what()) + "; nothing was replaced");
        }
    }
    std::vector<const DbTable *> damaged;
    for (const auto &[table, records] : state.dbs) {
        try {
            Db db(table->path);
        } catch (const Failure &e) {
            if (std::string(e.what()).find(": refusing database ") == std::string::npos) {
                op_failed(std::string(e.what()) + "; nothing was replaced");
            }
            damaged.push_back(table);
        }
    }
    return damaged;
}

// Moves a damaged database out of the way under a new name, never over
// another file; the name, or op_failed.
std::string set_aside(const char *path) {
    std::string base = std::string(path) + ".damaged-" + std::to_string(std::time(nullptr));
    for (int n = 0; n < 100; ++n) {
        std::string name = n == 0 ? base : base + "." + std::to_string(n);
        if (link(path, name.c_str()) == 0) {
            if (unlink(path) != 0) {
                int err = errno;
                unlink(name.c_str());
                op_failed("cannot move the damaged " + std::string(path) +
                          " aside: " + std::strerror(err));
            }
            return name;
        }
        if (errno != EEXIST) break;
    }
    op_failed("cannot move the damaged " + std::string(path) + " aside: " + std::strerror(errno));
}

struct Applied {
    std::vector<std::string> replaced;
    std::vector<std::pair<std::string, std::string>> set_aside;  // path, new name
};

std::string set_aside_text(const Applied &done) {
    std::string text;
    for (const auto &[path, name] : done.set_aside) {
        text += "; the damaged " + path + " is kept as " + name;
    }
    return text;
}

// Replaces each table of the state in turn; a failure names the tables that
// were already replaced.
Applied replace_tables(const State &state, const std::vector<const DbTable *> &damaged) {
    Applied done;
    auto fail = [&done](const std::string &what) {
        std::string list;
        for (const auto &d : done.replaced) list += (list.empty() ? "" : ", ") + d;
        op_failed(what + "; " +
                  (done.replaced.empty() ? "nothing was replaced" : "replaced before: " + list) +
                  set_aside_text(done));
    };
    if (state.save_report) ek_brd_set_save_report_flag(*state.save_report);
    if (state.brd_auth) ek_brd_set_brd_auth(*state.brd_auth);
    if (state.save_report || state.brd_auth) done.replaced.emplace_back("cpe");
    if (state.nat) {
        // The library's writers take no lock on this table: one copy is the
        // shortest window another process can see.
        std::memcpy(cpe_segment() + EK_BRD_CPE_NAT_TABLE_OFFSET, state.nat->data(),
                    state.nat->size());
        done.replaced.emplace_back("nat");
    }
    if (state.vpn) {
        // Count and records in one copy, the room behind them zeroed.
        Bytes table(4 + kVpnRecord * kVpnMax);
        auto count = static_cast<std::int32_t>(state.vpn->size() / kVpnRecord);
        std::memcpy(table.data(), &count, sizeof count);
        std::copy(state.vpn->begin(), state.vpn->end(), table.begin() + 4);
        pthread_mutex_lock(&internal_subnet_mutex);
        std::memcpy(cpe_segment() + EK_BRD_CPE_VPN_SUBNETS_OFFSET, table.data(), table.size());
        pthread_mutex_unlock(&internal_subnet_mutex);
        done.replaced.emplace_back("vpn_subnets");
    }
    for (const auto &[table, records] : state.dbs) {
        std::vector<ek_host_db_record_t> raw;
        raw.reserve(records.size());
        for (const DbRecord &r : records) {
            raw.push_back({r.key.data(), static_cast<std::int32_t>(r.key.size()), r.value.data(),
                           static_cast<std::int32_t>(r.value.size())});
        }
        try {
            std::optional<ModemLock> lock;
            if (table->modem_lock) lock.emplace();
            if (std::find(damaged.begin(), damaged.end(), table) != damaged.end()) {
                done.set_aside.emplace_back(table->path, set_aside(table->path));
            }
            Db db(table->path);
            forget_host_reason();
            if (ek_host_db_replace(db.get(), raw.data(), static_cast<std::int32_t>(raw.size())) !=
                0) {
                op_failed(std::string("cannot write ") + table->path + host_reason());
            }
        } catch (const Failure &e) {
            fail(std::string("cannot replace ") + table->name + " (" + e.what() + ")");
        }
        done.replaced.emplace_back(table->name);
    }
    return done;
}

}  // namespace

void add_state(CLI::App &app, Context &ctx) {
    static std::string export_file = "-";
    auto *exp = add_command(app, "export", "Write every table as one JSON document", [&ctx] {
        write_document(export_file, export_state().dump(2) + "\n");
        ctx.emitted = true;
        if (export_file != "-") {
            emit(ctx, Json{{"exported", json_text(export_file)}},
                 "exported to " + escaped(export_file) + "\n");
        }
    });
    exp->add_option("FILE", export_file, "file to write (default: standard output)");

    static std::string import_file;
    auto *imp = add_command(
        app, "import", "Replace the tables a document holds (checked whole first)", [&ctx] {
            State state = parse_state(read_document(import_file),
                                      import_file == "-" ? "standard input" : import_file);
            Applied done = replace_tables(state, preflight(state));
            std::string list;
            for (const auto &d : done.replaced) list += (list.empty() ? "" : ", ") + d;
            Json doc{{"imported", done.replaced}};
            for (const auto &[path, name] : done.set_aside) doc["damaged_kept_as"][path] = name;
            emit(ctx, doc,
                 (done.replaced.empty() ? "imported nothing" : "replaced " + list) +
                     set_aside_text(done) + "\n");
        });
    imp->add_option("FILE", import_file, "document to read, - for standard input")->required();
}

}  // namespace brdctl
