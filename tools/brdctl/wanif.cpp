// wanif: the WAN-interface database. The library only reads it; brdctl
// also writes it (add, set, remove) through libek_db, as the platform's own
// writers do.
#include <net/if.h>

#include <cstring>
#include <new>
#include <optional>

#include "brdctl.h"
#include "ek_host.h"
#include "platform/ek_db.h"

namespace brdctl {

namespace {

constexpr std::size_t kNameMax = sizeof(ek_wanif_entry_t::name) - 1;

// Priority 0 on the USB network record is not "no priority": the library
// reads it as primary-WAN mode, and then refuses every priority asked for
// with kind 45.
constexpr const char *kPriorityHelp =
    "WAN priority 0-9999; 0 on the usbnet0 record puts the USB network in primary-WAN mode, "
    "in which check-priority --kind 45 refuses every priority";

struct Collected {
    std::vector<ek_wanif_entry_t> records;
    bool failed = false;
};

void collect(ek_db_handle_t db, ek_db_key_desc_t key, void *arg) {
    auto *out = static_cast<Collected *>(arg);
    ek_wanif_entry_t entry{};
    if (ek_db_fetch_bykey(db, key, &entry) < 0) {
        out->failed = true;
        return;
    }
    try {
        out->records.push_back(entry);
    } catch (const std::bad_alloc &) {
        out->failed = true;
    }
}

}  // namespace

std::vector<ek_wanif_entry_t> load_wanif() {
    Db db(kWanifDb);
    Collected all;
    all.records.reserve(static_cast<std::size_t>(std::max(0, ek_db_count(db.get()))));
    ek_db_foreach(db.get(), collect, &all);
    if (all.failed) op_failed(std::string("cannot read every record of ") + kWanifDb);
    return std::move(all.records);
}

namespace {

std::string ifname_of(const ek_wanif_entry_t &e) {
    return field_text(e.ifname, sizeof e.ifname);
}
std::string name_of(const ek_wanif_entry_t &e) {
    return field_text(e.name, sizeof e.name);
}

Json entry_json(const ek_wanif_entry_t &e) {
    return Json{{"name", json_text(name_of(e))},
                {"ifname", json_text(ifname_of(e))},
                {"priority", e.priority},
                {"wan", e.is_wanif != 0},
                {"active_default", e.is_active_dft_wan != 0},
                {"ip", e.ip_addr != 0 ? Json(format_ipv4(e.ip_addr)) : Json()},
                {"pppoe", e.is_pppoe != 0},
                {"pppoe_eth_index", e.is_pppoe != 0 ? Json(e.pppoe_ethnet_kifidx) : Json()},
                {"usbnet_status", e.usbnet_status != 0 ? Json(e.usbnet_status) : Json()}};
}

// A predicate's answer: exit status 1 when false.
void answer(Context &ctx, Json doc, bool yes, const std::string &human) {
    if (!yes) ctx.status = kNo;
    emit(ctx, doc, human + "\n");
}

std::string ifname_arg(const std::string &text) {
    return parse_name(text, "interface name", kIfNameMax);
}

struct AddArgs {
    std::string ifname, name, priority, ip, pppoe_index, usbnet_status;
    bool wan = false, active = false;
    const CLI::Option *ip_given = nullptr, *name_given = nullptr;
};

void add_record(Context &ctx, const AddArgs &a) {
    ek_wanif_entry_t e{};
    std::string ifname = ifname_arg(a.ifname);
    std::string name = parse_name(a.name_given->count() > 0 ? a.name : a.ifname, "name", kNameMax);
    std::memcpy(e.ifname, ifname.data(), ifname.size());
    std::memcpy(e.name, name.data(), name.size());
    if (!a.priority.empty()) {
        e.priority = static_cast<std::int32_t>(parse_int(a.priority, "priority", 0, 9999));
    }
    e.is_wanif = a.wan ? 1 : 0;
    e.is_active_dft_wan = a.active ? 1 : 0;
    if (a.ip_given->count() > 0) e.ip_addr = parse_host_ipv4(a.ip);
    if (!a.pppoe_index.empty()) {
        e.is_pppoe = 1;
        e.pppoe_ethnet_kifidx = static_cast<std::int32_t>(
            parse_int(a.pppoe_index, "PPPoE interface index", 1, INT32_MAX));
    }
    if (!a.usbnet_status.empty()) {
        // The library reads the code from the usbnet0 record only.
        if (name != "usbnet0") usage_error("only the usbnet0 record has a USB network status");
        e.usbnet_status =
            static_cast<std::int32_t>(parse_int(a.usbnet_status, "USB network status", 1, 4));
    }

    Db db(kWanifDb);
    if (ek_db_store(db.get(), name.data(), static_cast<std::int32_t>(name.size()), &e, sizeof e) <
        0) {
        op_failed("cannot store record " + name + " in " + kWanifDb);
    }
    emit(ctx, entry_json(e), "stored " + name + " (" + ifname + ")\n");
}

// The record named `name`, or else the first whose interface is `name`: the
// key is the record name, and a record added under another name is found by
// its interface name.
std::optional<ek_wanif_entry_t> find_record(const std::string &name) {
    std::optional<ek_wanif_entry_t> found;
    for (const auto &e : load_wanif()) {
        if (name_of(e) == name) return e;
        if (!found && ifname_of(e) == name) found = e;
    }
    return found;
}

// What `set` changes; an empty text or an unset flag keeps the field.
struct SetArgs {
    std::string ifname, priority, ip, pppoe_index, usbnet_status;
    std::optional<bool> wan, active;
};

void set_record(Context &ctx, const SetArgs &a) {
    std::string arg = parse_name(a.ifname, "name", kNameMax);
    // Every value is checked before the record is read.
    std::optional<std::int32_t> priority, pppoe, status;
    std::optional<std::uint32_t> ip;
    if (!a.priority.empty()) {
        priority = static_cast<std::int32_t>(parse_int(a.priority, "priority", 0, 9999));
    }
    if (!a.ip.empty()) ip = parse_host_ipv4(a.ip);
    if (!a.pppoe_index.empty()) {
        pppoe = static_cast<std::int32_t>(
            parse_int(a.pppoe_index, "PPPoE interface index", 1, INT32_MAX));
    }
    if (!a.usbnet_status.empty()) {
        status = static_cast<std::int32_t>(parse_int(a.usbnet_status, "USB network status", 1, 4));
    }
    if (!priority && !ip && !pppoe && !status && !a.wan && !a.active) {
        usage_error(
            "nothing to change: give one or more of --priority, --wan, --no-wan, "
            "--active-default, --no-active-default, --ip, --pppoe-eth-index, --usbnet-status");
    }
    std::optional<ek_wanif_entry_t> found = find_record(arg);
    if (!found) return not_found(ctx, "no WAN record named " + arg);
    ek_wanif_entry_t e = *found;
    std::string name = name_of(e);
    if (status && name != "usbnet0")
        usage_error("only the usbnet0 record has a USB network status");
    if (priority) e.priority = *priority;
    if (a.wan) e.is_wanif = *a.wan ? 1 : 0;
    if (a.active) e.is_active_dft_wan = *a.active ? 1 : 0;
    if (ip) e.ip_addr = *ip;
    if (pppoe) {
        e.is_pppoe = 1;
        e.pppoe_ethnet_kifidx = *pppoe;
    }
    if (status) e.usbnet_status = *status;

    Db db(kWanifDb);
    if (ek_db_store(db.get(), name.data(), static_cast<std::int32_t>(name.size()), &e, sizeof e) <
        0) {
        op_failed("cannot store record " + name + " in " + kWanifDb);
    }
    emit(ctx, entry_json(e), "updated " + name + " (" + ifname_of(e) + ")\n");
}

void remove_record(Context &ctx, const std::string &arg) {
    std::string ifname = parse_name(arg, "name", kNameMax);
    std::optional<ek_wanif_entry_t> found = find_record(ifname);
    if (!found) return not_found(ctx, "no WAN record named " + ifname);
    std::string key = name_of(*found);
    Db db(kWanifDb);
    if (ek_db_delete_ex(db.get(), key.data(), static_cast<std::int32_t>(key.size()), EK_DB_MODE) <
        0) {
        op_failed("cannot delete record " + key + " from " + kWanifDb);
    }
    emit(ctx, Json{{"removed", json_text(key)}}, "removed " + escaped(key) + "\n");
}

}  // namespace

void add_wanif(CLI::App &app, Context &ctx) {
    auto *wanif = app.add_subcommand("wanif", "WAN interfaces of /tmp/db/wanif_db");
    wanif->require_subcommand(1);
    wanif->footer(
        "Primary-WAN mode: while the usbnet0 record (the USB network) holds priority 0, "
        "check-priority --kind 45 refuses every priority. wanif add stores priority 0 unless "
        "--priority is given; wanif set changes only the fields it is given.");

    add_command(*wanif, "list", "List every record", [&ctx] {
        Json doc = Json::array();
        Table t({"NAME", "IFNAME", "PRIO", "WAN", "ACTIVE-DFT", "IP", "PPPOE-ETH", "USBNET"});
        for (const auto &e : load_wanif()) {
            doc.push_back(entry_json(e));
            t.add({name_of(e), ifname_of(e), std::to_string(e.priority), e.is_wanif ? "yes" : "no",
                   e.is_active_dft_wan ? "yes" : "no", e.ip_addr ? format_ipv4(e.ip_addr) : "-",
                   e.is_pppoe ? std::to_string(e.pppoe_ethnet_kifidx) : "-",
                   e.usbnet_status ? std::to_string(e.usbnet_status) : "-"});
        }
        emit(ctx, doc, t.render());
    });

    add_command(*wanif, "count", "Number of records that are not tunnel interfaces", [&ctx] {
        load_wanif();
        int n = ek_brd_get_wanif_count();
        emit(ctx, Json{{"count", n}}, std::to_string(n) + "\n");
    });

    // The two interface predicates differ only in the query and the words.
    struct IfPredicate {
        const char *name, *help, *key, *what;
        int (*query)(const char *);
    };
    static const IfPredicate predicates[] = {
        {"is-wan", "Is IFNAME a WAN interface?", "wan", "a WAN interface", ek_brd_check_intf_wanif},
        {"is-active-default", "Is IFNAME an active default WAN?", "active_default",
         "an active default WAN", ek_brd_check_intf_active_dft_wan},
    };
    static std::string predicate_if;
    for (const IfPredicate &p : predicates) {
        add_command(*wanif, p.name, p.help,
                    [&ctx, &p] {
                        std::string ifname = ifname_arg(predicate_if);
                        require_db(kWanifDb);
                        bool yes = p.query(ifname.c_str()) != 0;
                        answer(ctx, Json{{"interface", ifname}, {p.key, yes}}, yes,
                               ifname + (yes ? " is " : " is not ") + p.what);
                    })
            ->add_option("IFNAME", predicate_if, "interface name")
            ->required();
    }

    static std::string owns_addr;
    add_command(*wanif, "owns-ip", "Which WAN interface holds address ADDR?",
                [&ctx] {
                    std::uint32_t addr = parse_host_ipv4(owns_addr);
                    require_db(kWanifDb);
                    bool yes = ek_brd_cpe_shm_check_wan_intf_ip(addr) != 0;
                    // The library answers yes or no; the holder is the record
                    // it matched, the first with an interface name.
                    std::string holder;
                    for (const auto &e : yes ? load_wanif() : std::vector<ek_wanif_entry_t>{}) {
                        if (e.ip_addr == addr && e.ifname[0] != '\0') {
                            holder = ifname_of(e);
                            break;
                        }
                    }
                    answer(ctx,
                           Json{{"address", format_ipv4(addr)},
                                {"wan", yes},
                                {"interface", yes ? json_text(holder) : Json()}},
                           yes,
                           format_ipv4(addr) + (yes ? " belongs to WAN interface " + escaped(holder)
                                                    : " belongs to no WAN interface"));
                })
        ->add_option("ADDR", owns_addr, "dotted-quad IPv4 address")
        ->required();

    static std::string pppoe_if;
    add_command(*wanif, "pppoe-eth", "Kernel index of the Ethernet interface under IFNAME's PPPoE",
                [&ctx] {
                    std::string ifname = ifname_arg(pppoe_if);
                    require_db(kWanifDb);
                    int index = ek_brd_get_pppoe_ethnet_kifidx(ifname.c_str());
                    if (index == 0) return not_found(ctx, "no PPPoE session on " + ifname);
                    char eth[IF_NAMESIZE] = {};
                    bool named =
                        index > 0 && if_indextoname(static_cast<unsigned>(index), eth) != nullptr;
                    emit(ctx,
                         Json{{"interface", ifname},
                              {"pppoe_eth_index", index},
                              {"pppoe_eth", named ? json_text(eth) : Json()}},
                         std::to_string(index) + (named ? " " + escaped(eth) : "") + "\n");
                })
        ->add_option("IFNAME", pppoe_if, "interface name")
        ->required();

    static std::string prio_arg, kind_arg = "0";
    auto *check =
        add_command(*wanif, "check-priority", "May WAN priority PRIORITY be configured?", [&ctx] {
            auto prio = static_cast<int>(parse_int(prio_arg, "priority", INT32_MIN, INT32_MAX));
            auto kind = static_cast<int>(parse_int(kind_arg, "kind", INT32_MIN, INT32_MAX));
            // Checked first: the library writes its own open failure into
            // the refusal sentence.
            require_db(kWanifDb);
            char msg[256] = {};
            bool yes = ek_brd_check_cfg_priority_valid(kind, prio, msg) != 0;
            std::string reason = field_text(msg, sizeof msg - 1);
            while (!reason.empty() && reason.back() == '\n') reason.pop_back();
            answer(
                ctx,
                Json{{"priority", prio},
                     {"valid", yes},
                     {"reason", yes ? Json() : json_text(reason)}},
                yes,
                yes ? "priority " + std::to_string(prio) + " may be configured" : escaped(reason));
        });
    check->add_option("PRIORITY", prio_arg, "WAN priority")->required();
    check
        ->add_option("--kind", kind_arg,
                     "caller's kind code; " + std::to_string(EK_BRD_PRIORITY_KIND_USBNET) +
                         " also refuses every priority while the USB network is in primary-WAN "
                         "mode (priority 0 on the usbnet0 record)")
        ->type_name("KIND");

    add_command(*wanif, "usbnet-status", "Status code (1-4) of the usbnet0 record", [&ctx] {
        require_db(kWanifDb);
        int status = 0;
        if (ek_brd_lib_get_usbnet_status(&status) != 0) {
            return not_found(ctx, "no usbnet0 record with a status of 1-4");
        }
        emit(ctx, Json{{"usbnet_status", status}}, std::to_string(status) + "\n");
    });

    static std::string dcd_if;
    add_command(
        *wanif, "dcd-priority", "WAN priority the device configuration service holds",
        [&ctx] {
            std::string ifname = ifname_arg(dcd_if);
            require_db(EK_HOST_DCD_ETH_DB);
            require_db(EK_HOST_DCD_USBNET_DB);
            int prio = ek_wanif_get_wan_priority_from_dcd_shm(ifname.c_str());
            if (prio == -1) return not_found(ctx, "no WAN priority configured for " + ifname);
            emit(ctx, Json{{"interface", ifname}, {"priority", prio}}, std::to_string(prio) + "\n");
        })
        ->add_option("IFNAME", dcd_if, "interface name")
        ->required();

    static AddArgs add_args;
    auto *add = add_command(*wanif, "add",
                            "Store a whole record, replacing one of the same name (set changes "
                            "single fields)",
                            [&ctx] { add_record(ctx, add_args); });
    add->add_option("IFNAME", add_args.ifname, "interface name")->required();
    add_args.name_given = add->add_option("--name", add_args.name,
                                          "record name and key (default: IFNAME; usbnet0 is the "
                                          "USB network record)")
                              ->type_name("NAME");
    add->add_option("--priority", add_args.priority, std::string(kPriorityHelp) + " (default 0)")
        ->type_name("PRIORITY");
    add->add_flag("--wan", add_args.wan, "mark as a WAN interface");
    add->add_flag("--active-default", add_args.active, "mark as an active default WAN");
    add_args.ip_given = add->add_option("--ip", add_args.ip, "IPv4 address")->type_name("ADDR");
    add->add_option("--pppoe-eth-index", add_args.pppoe_index,
                    "carries a PPPoE session over the Ethernet interface of this kernel index")
        ->type_name("INDEX");
    add->add_option("--usbnet-status", add_args.usbnet_status,
                    "USB network status code 1-4 (usbnet0 record only)")
        ->type_name("CODE");

    static SetArgs set_args;
    auto *set = add_command(*wanif, "set",
                            "Change fields of the record named IFNAME (or whose interface is "
                            "IFNAME), keeping the others",
                            [&ctx] { set_record(ctx, set_args); });
    set->add_option("IFNAME", set_args.ifname, "record or interface name")->required();
    set->add_option("--priority", set_args.priority, kPriorityHelp)->type_name("PRIORITY");
    set->add_flag_callback(
        "--wan", [] { set_args.wan = true; }, "mark as a WAN interface");
    set->add_flag_callback(
        "--no-wan", [] { set_args.wan = false; }, "no longer a WAN interface");
    set->add_flag_callback(
        "--active-default", [] { set_args.active = true; }, "mark as an active default WAN");
    set->add_flag_callback(
        "--no-active-default", [] { set_args.active = false; }, "no longer an active default WAN");
    set->add_option("--ip", set_args.ip, "IPv4 address")->type_name("ADDR");
    set->add_option("--pppoe-eth-index", set_args.pppoe_index,
                    "carries a PPPoE session over the Ethernet interface of this kernel index")
        ->type_name("INDEX");
    set->add_option("--usbnet-status", set_args.usbnet_status,
                    "USB network status code 1-4 (usbnet0 record only)")
        ->type_name("CODE");

    static std::string remove_arg;
    add_command(*wanif, "remove", "Delete the record named IFNAME (or whose interface is IFNAME)",
                [&ctx] { remove_record(ctx, remove_arg); })
        ->add_option("IFNAME", remove_arg, "record or interface name")
        ->required();
}

}  // namespace brdctl
