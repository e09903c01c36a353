// status, cpe, nat and subnet: the CPE segment and what it holds.
#include <cstring>

#include "brdctl.h"
#include "document.h"

namespace brdctl {

namespace {

std::int32_t word_at(const unsigned char *base, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
}

// A copy of one NAT slot, read in place like the library reads it.
ek_nat_policy_t nat_slot(const unsigned char *cpe, int id) {
    ek_nat_policy_t slot;
    std::memcpy(&slot, cpe + EK_BRD_CPE_NAT_TABLE_OFFSET + sizeof slot * (id - 1), sizeof slot);
    return slot;
}

std::string nat_name(const ek_nat_policy_t &slot) {
    return field_text(slot.name, sizeof slot.name);
}

std::string type_meaning(std::int32_t type) {
    switch (type) {
        case EK_BRD_NAT_TYPE_TUNNEL:
            return "tunnel";
        case EK_BRD_NAT_TYPE_OTHER:
            return "other";
        default:
            return "-";
    }
}

// NAT type: a number, or "tunnel" (1) / "other" (2).
int parse_nat_type(const std::string &text) {
    if (text == "tunnel") return EK_BRD_NAT_TYPE_TUNNEL;
    if (text == "other") return EK_BRD_NAT_TYPE_OTHER;
    bool numeric = !text.empty() && text.find_first_not_of("+-0123456789") == std::string::npos;
    if (!numeric) {
        usage_error("type '" + text + "' is not tunnel, other or a number" +
                    did_you_mean(text, {"tunnel", "other"}));
    }
    return static_cast<int>(parse_int(text, "type", INT32_MIN, INT32_MAX));
}

enum class CpeField { kNone, kSaveReport, kAuth };

CpeField parse_cpe_field(const std::string &text, bool allow_none) {
    if (text == "save-report") return CpeField::kSaveReport;
    if (text == "auth") return CpeField::kAuth;
    if (allow_none && text.empty()) return CpeField::kNone;
    usage_error("field '" + text + "' is not save-report or auth" +
                did_you_mean(text, {"save-report", "auth"}));
}

std::string subnet_text(std::uint32_t addr, std::uint32_t mask) {
    return format_ipv4(addr) + "/" + format_ipv4(mask);
}

Json subnet_json(std::uint32_t addr, std::uint32_t mask, bool local) {
    return Json{{"address", format_ipv4(addr)}, {"mask", format_ipv4(mask)}, {"local", local}};
}

// Runs fn on the VPN subnet table (count word first) under the mutex the
// library's local-subnet test takes; fn sees the records, checked.
template <typename Fn>
void with_vpn_table(Fn fn) {
    unsigned char *table = cpe_segment() + EK_BRD_CPE_VPN_SUBNETS_OFFSET;
    pthread_mutex_lock(&internal_subnet_mutex);
    struct Unlock {
        ~Unlock() { pthread_mutex_unlock(&internal_subnet_mutex); }
    } unlock;
    Bytes records = vpn_records(table);
    fn(table, records);
}

// Where the pair is, or would go to keep the table sorted, as the
// library's search answers.
std::pair<int, bool> vpn_find(const unsigned char *table, std::size_t count, const Subnet &s) {
    int index = 0, found = 0;
    ek_brd_find_subnet_index_in_vpn_internal_subnets_local(
        table, s.addr, s.mask, 0, static_cast<int>(count) - 1, &index, &found);
    return {index, found != 0};
}

Json nat_json(int id, const ek_nat_policy_t &slot) {
    return Json{{"id", id}, {"name", json_text(nat_name(slot))}, {"type", slot.type}};
}

}  // namespace

unsigned char *cpe_segment() {
    forget_host_reason();
    void *base = ek_brd_get_cpe_shm_data();
    if (base == nullptr) op_failed("cannot attach the CPE segment" + host_reason());
    return static_cast<unsigned char *>(base);
}

void add_status(CLI::App &app, Context &ctx) {
    add_command(app, "status", "Summary: CPE header, values and the size of every table", [&ctx] {
        // Each row stands on its own: one that cannot be read says so and
        // the others are still shown. Only the brd state makes a failure;
        // the USB row is a courtesy.
        std::vector<std::string> unreadable;
        std::string first_reason;
        Json doc;
        forget_host_reason();
        auto *cpe = static_cast<unsigned char *>(ek_brd_get_cpe_shm_data());
        if (cpe != nullptr) {
            int nat = 0;
            for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; ++id) {
                if (nat_slot(cpe, id).name[0] != '\0') ++nat;
            }
            doc["cpe_header"] = {word_at(cpe, 0), word_at(cpe, 4), word_at(cpe, 8)};
            doc["save_report"] = ek_brd_get_save_report_flag();
            doc["brd_auth"] = ek_brd_get_brd_auth();
            doc["nat_policies"] = nat;
        } else {
            for (const char *key : {"cpe_header", "save_report", "brd_auth", "nat_policies"}) {
                doc[key] = nullptr;
            }
            unreadable.push_back("the CPE segment");
            first_reason = "cannot attach the CPE segment" + host_reason();
        }
        auto row = [&](const char *key, const char *db, const std::function<Json()> &read) {
            try {
                require_db(db);
                doc[key] = read();
            } catch (const Failure &e) {
                doc[key] = nullptr;
                unreadable.push_back(db);
                if (first_reason.empty()) first_reason = e.what();
            }
        };
        row("wan_interfaces", kWanifDb, [] {
            load_wanif();
            return Json(ek_brd_get_wanif_count());
        });
        row("modem_configs", kModemDb, [] {
            int n = ek_brd_lib_usb_modem_db_get_num();
            if (n < 0) op_failed(std::string("cannot count the records of ") + kModemDb);
            return Json(n);
        });
        row("modeswitch_records", kModeSwitchDb, [] { return Json(load_modeswitches().size()); });
        Attached dev;
        bool lsusb = on_path("lsusb");
        if (lsusb) dev = probe_usb();
        doc["usb_device"] = lsusb ? attached_json(dev) : Json();

        auto cell = [&doc](const char *key, const std::string &text) {
            return doc[key].is_null() ? std::string("unavailable") : text;
        };
        std::string header;
        for (const auto &w : doc["cpe_header"]) header += (header.empty() ? "" : " ") + w.dump();
        std::string usb = !lsusb         ? "lsusb not installed"
                          : !dev.any     ? "none"
                          : dev.id_known ? format_usb_id(dev.vid, dev.pid)
                                         : "only hubs";
        Table t({"ITEM", "VALUE"});
        t.add({"cpe header", cell("cpe_header", header)});
        t.add({"save-report flag", cell("save_report", doc["save_report"].dump())});
        t.add({"brd auth", cell("brd_auth", doc["brd_auth"].dump())});
        t.add(
            {"NAT policies", cell("nat_policies", doc["nat_policies"].dump() + " of " +
                                                      std::to_string(EK_BRD_CPE_NAT_POLICY_MAX))});
        t.add({"WAN interfaces", cell("wan_interfaces", doc["wan_interfaces"].dump())});
        t.add({"modem configurations", cell("modem_configs", doc["modem_configs"].dump())});
        t.add(
            {"mode-switch records", cell("modeswitch_records", doc["modeswitch_records"].dump())});
        t.add({"USB device", usb});
        // A failing run's document is the error; the table still helps a
        // person see what could be read.
        if (!ctx.json || unreadable.empty()) emit(ctx, doc, t.render());
        if (!unreadable.empty()) {
            std::string what;
            for (const auto &u : unreadable) what += (what.empty() ? "" : ", ") + u;
            op_failed("could not read " + what + " (" + first_reason + ")");
        }
    });
}

void add_cpe(CLI::App &app, Context &ctx) {
    auto *cpe = app.add_subcommand("cpe", "The save-report flag and the brd auth value");
    cpe->require_subcommand(1);

    static std::string get_field;
    auto *get = add_command(*cpe, "get", "Print save-report, auth, or both", [&ctx] {
        CpeField field = parse_cpe_field(get_field, true);
        cpe_segment();
        Json doc;
        std::string human;
        if (field != CpeField::kAuth) {
            doc["save_report"] = ek_brd_get_save_report_flag();
            human +=
                (field == CpeField::kNone ? "save-report " : "") + doc["save_report"].dump() + "\n";
        }
        if (field != CpeField::kSaveReport) {
            doc["brd_auth"] = ek_brd_get_brd_auth();
            human += (field == CpeField::kNone ? "auth " : "") + doc["brd_auth"].dump() + "\n";
        }
        emit(ctx, doc, human);
    });
    get->add_option("FIELD", get_field, "the value to print (default: both)")
        ->type_name("{save-report,auth}");

    static std::string set_field, set_value;
    auto *set =
        add_command(*cpe, "set", "Store a signed 32-bit value in save-report or auth", [&ctx] {
            CpeField field = parse_cpe_field(set_field, false);
            auto value = static_cast<int>(parse_int(set_value, "value", INT32_MIN, INT32_MAX));
            cpe_segment();
            Json doc;
            if (field == CpeField::kSaveReport) {
                ek_brd_set_save_report_flag(value);
                doc["save_report"] = ek_brd_get_save_report_flag();
            } else {
                ek_brd_set_brd_auth(value);
                doc["brd_auth"] = ek_brd_get_brd_auth();
            }
            emit(ctx, doc, doc.begin().value().dump() + "\n");
        });
    set->add_option("FIELD", set_field, "the value to store")
        ->type_name("{save-report,auth}")
        ->required();
    set->add_option("VALUE", set_value, "signed 32-bit value")->required();
}

void add_nat(CLI::App &app, Context &ctx) {
    auto *nat = app.add_subcommand("nat", "The NAT policy table (ids 1-128) in the CPE segment");
    nat->require_subcommand(1);

    add_command(*nat, "list", "List the used slots in id order", [&ctx] {
        unsigned char *cpe = cpe_segment();
        Json doc = Json::array();
        Table t({"ID", "NAME", "TYPE", "MEANING"});
        for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; ++id) {
            ek_nat_policy_t slot = nat_slot(cpe, id);
            if (slot.name[0] == '\0') continue;
            doc.push_back(nat_json(id, slot));
            t.add({std::to_string(id), nat_name(slot), std::to_string(slot.type),
                   type_meaning(slot.type)});
        }
        emit(ctx, doc, t.render());
    });

    add_command(*nat, "request-id", "Print the lowest free id (reserves nothing)", [&ctx] {
        cpe_segment();
        int id = ek_brd_cpe_shm_request_nat_policy_id();
        if (id == 0) return not_found(ctx, "no free id: all 128 slots are used");
        emit(ctx, Json{{"id", id}}, std::to_string(id) + "\n");
    });

    static std::string save_id, save_name, save_type;
    static bool save_force = false;
    auto *save =
        add_command(*nat, "save", "Store a policy in slot ID (replacing what it held)", [&ctx] {
            int id = parse_nat_id(save_id);
            std::string name = parse_name(save_name, "name", sizeof(ek_nat_policy_t::name) - 1);
            int type = parse_nat_type(save_type);
            unsigned char *cpe = cpe_segment();
            // Lookups by name find the lower id only: a second policy of the
            // same name would never be found.
            int holder = ek_brd_cpe_shm_get_nat_policy_id(name.c_str());
            if (holder != 0 && holder != id && !save_force) {
                usage_error("policy " + std::to_string(holder) + " is already named " + name +
                            " (--force stores a second one)");
            }
            ek_brd_cpe_shm_save_nat_policy(id, name.c_str(), type);
            ek_nat_policy_t slot = nat_slot(cpe, id);
            emit(ctx, nat_json(id, slot),
                 "saved " + std::to_string(id) + " " + escaped(nat_name(slot)) + " " +
                     std::to_string(type) + "\n");
        });
    save->add_option("ID", save_id, "policy id, 1-128")->required();
    save->add_option("NAME", save_name, "policy name, at most 32 characters")->required();
    save->add_option("TYPE", save_type, "1 or tunnel, 2 or other, or any number")
        ->type_name("{tunnel,other,NUMBER}")
        ->required();
    save->add_flag("--force", save_force, "store even when another id holds the name");

    static std::string delete_id;
    auto *del = add_command(*nat, "delete", "Clear slot ID", [&ctx] {
        int id = parse_nat_id(delete_id);
        unsigned char *cpe = cpe_segment();
        if (nat_slot(cpe, id).name[0] == '\0') {
            return not_found(ctx, "no NAT policy with id " + std::to_string(id));
        }
        ek_brd_cpe_shm_delete_nat_policy(id);
        emit(ctx, Json{{"id", id}, {"deleted", true}}, "deleted " + std::to_string(id) + "\n");
    });
    del->add_option("ID", delete_id, "policy id, 1-128")->required();

    static std::string id_name;
    auto *id_cmd = add_command(*nat, "id", "Print the id of the policy named NAME", [&ctx] {
        std::string name = parse_name(id_name, "name", sizeof(ek_nat_policy_t::name) - 1);
        cpe_segment();
        int id = ek_brd_cpe_shm_get_nat_policy_id(name.c_str());
        if (id == 0) return not_found(ctx, "no NAT policy named " + name);
        emit(ctx, Json{{"name", name}, {"id", id}}, std::to_string(id) + "\n");
    });
    id_cmd->add_option("NAME", id_name, "policy name")->required();

    static std::string name_id;
    auto *name_cmd = add_command(*nat, "name", "Print the name of policy ID", [&ctx] {
        int id = parse_nat_id(name_id);
        cpe_segment();
        const char *name = ek_brd_cpe_shm_get_nat_policy_name(id);
        if (name == nullptr) op_failed("the library refused id " + std::to_string(id));
        std::string text = field_text(name, sizeof(ek_nat_policy_t::name));
        if (text.empty()) return not_found(ctx, "no NAT policy with id " + std::to_string(id));
        emit(ctx, Json{{"id", id}, {"name", json_text(text)}}, escaped(text) + "\n");
    });
    name_cmd->add_option("ID", name_id, "policy id, 1-128")->required();

    static std::string check_policy, check_if;
    auto *check =
        add_command(*nat, "check", "Does the policy's type suit interface IFNAME?", [&ctx] {
            std::string policy =
                parse_name(check_policy, "policy name", sizeof(ek_nat_policy_t::name) - 1);
            std::string ifname = parse_name(check_if, "interface name", kIfNameMax);
            cpe_segment();
            if (ek_brd_cpe_shm_get_nat_policy_id(policy.c_str()) == 0) {
                return not_found(ctx, "no NAT policy named " + policy);
            }
            bool ok = ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(policy.c_str(),
                                                                               ifname.c_str()) != 0;
            if (!ok) ctx.status = kNo;
            emit(ctx, Json{{"policy", policy}, {"interface", ifname}, {"valid", ok}},
                 "policy " + policy + (ok ? " suits " : " does not suit ") + ifname + "\n");
        });
    check->add_option("POLICY", check_policy, "policy name")->required();
    check->add_option("IFNAME", check_if, "interface name")->required();
}

void add_subnet(CLI::App &app, Context &ctx) {
    auto *subnet =
        app.add_subcommand("subnet", "Local-subnet test and the VPN internal-subnet table");
    subnet->require_subcommand(1);
    static std::string local_arg;
    auto *local = add_command(
        *subnet, "is-local", "Is ADDR/MASK a subnet of an mgt0* interface or a local VPN subnet?",
        [&ctx] {
            Subnet s = parse_subnet(local_arg);
            cpe_segment();
            bool local_subnet = ek_brd_lib_is_cpe_local_subnet(&s.addr, &s.mask) != 0;
            if (!local_subnet) ctx.status = kNo;
            emit(ctx, subnet_json(s.addr, s.mask, local_subnet),
                 subnet_text(s.addr, s.mask) +
                     (local_subnet ? " is a local subnet\n" : " is not a local subnet\n"));
        });
    local->add_option("ADDR/MASK", local_arg, "e.g. 10.1.2.0/255.255.255.0 or 10.1.2.0/24")
        ->required();

    add_command(*subnet, "list", "The VPN internal subnets, in the table's order", [&ctx] {
        Json doc = Json::array();
        Table t({"ADDRESS", "MASK", "LOCAL"});
        with_vpn_table([&](const unsigned char *, const Bytes &records) {
            for (std::size_t at = 0; at < records.size(); at += kVpnRecord) {
                auto [addr, mask] = vpn_key(records.data() + at);
                std::int32_t flag = word_at(records.data() + at, kVpnLocalFlag);
                doc.push_back(subnet_json(addr, mask, flag != 0));
                t.add({format_ipv4(addr), format_ipv4(mask), flag != 0 ? "yes" : "no"});
            }
        });
        emit(ctx, doc, t.render());
    });

    static std::string add_arg;
    static bool add_local = false;
    auto *add = add_command(
        *subnet, "add", "Put ADDR/MASK into the VPN subnet table (sorted), or set its flag",
        [&ctx] {
            Subnet s = parse_subnet(add_arg);
            with_vpn_table([&](unsigned char *table, const Bytes &records) {
                std::size_t count = records.size() / kVpnRecord;
                auto [index, found] = vpn_find(table, count, s);
                unsigned char *rec = table + 4 + kVpnRecord * static_cast<std::size_t>(index);
                if (!found) {
                    if (count == kVpnMax) {
                        usage_error("the VPN subnet table is full (" + std::to_string(kVpnMax) +
                                    " subnets)");
                    }
                    std::memmove(rec + kVpnRecord, rec,
                                 kVpnRecord * (count - static_cast<std::size_t>(index)));
                    std::memset(rec, 0, kVpnRecord);
                    std::memcpy(rec, &s.addr, 4);
                    std::memcpy(rec + 4, &s.mask, 4);
                    auto n = static_cast<std::int32_t>(count + 1);
                    std::memcpy(table, &n, sizeof n);
                }
                std::int32_t flag = add_local ? 1 : 0;
                std::memcpy(rec + kVpnLocalFlag, &flag, sizeof flag);
            });
            emit(ctx, subnet_json(s.addr, s.mask, add_local),
                 subnet_text(s.addr, s.mask) + (add_local ? " local\n" : " not local\n"));
        });
    add->add_option("ADDR/MASK", add_arg, "e.g. 10.8.0.0/16")->required();
    add->add_flag("--local", add_local, "the subnet counts as the device's own");

    static std::string remove_arg;
    auto *remove =
        add_command(*subnet, "remove", "Take ADDR/MASK out of the VPN subnet table", [&ctx] {
            Subnet s = parse_subnet(remove_arg);
            bool gone = false;
            with_vpn_table([&](unsigned char *table, const Bytes &records) {
                std::size_t count = records.size() / kVpnRecord;
                auto [index, found] = vpn_find(table, count, s);
                if (!found) return;
                unsigned char *rec = table + 4 + kVpnRecord * static_cast<std::size_t>(index);
                auto n = static_cast<std::int32_t>(count - 1);
                std::memcpy(table, &n, sizeof n);
                std::memmove(rec, rec + kVpnRecord,
                             kVpnRecord * (count - 1 - static_cast<std::size_t>(index)));
                std::memset(table + 4 + kVpnRecord * (count - 1), 0, kVpnRecord);
                gone = true;
            });
            std::string text = subnet_text(s.addr, s.mask);
            if (!gone) return not_found(ctx, "no VPN subnet " + text);
            emit(ctx, Json{{"removed", text}}, "removed " + text + "\n");
        });
    remove->add_option("ADDR/MASK", remove_arg, "as listed")->required();
}

}  // namespace brdctl
