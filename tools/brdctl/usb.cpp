// modem, modeswitch and usb: the USB modem stores and the USB bus.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "brdctl.h"

namespace brdctl {

namespace {

constexpr std::size_t kModemIdMax = sizeof(ek_usb_modem_cfg_t::modem_id) - 1;
constexpr std::uint32_t kSlots = EK_USB_MODEM_USBID_MAX;
// The library formats the mode-switch command into 321 bytes.
constexpr int kSwitchCommandMax = 320;

// Owns the nodes a getall call appended; frees each with free().
class NodeList {
public:
    NodeList() { head_.next = head_.prev = &head_; }
    ~NodeList() {
        for (ek_list_head *cur = head_.next; cur != &head_;) {
            ek_list_head *next = cur->next;
            std::free(cur);
            cur = next;
        }
    }
    NodeList(const NodeList &) = delete;
    NodeList &operator=(const NodeList &) = delete;
    ek_list_head *head() { return &head_; }
    // Copies of the records that follow each link.
    template <typename Record>
    std::vector<Record> records() const {
        std::vector<Record> out;
        for (const ek_list_head *cur = head_.next; cur != &head_; cur = cur->next) {
            Record rec;
            std::memcpy(&rec, reinterpret_cast<const unsigned char *>(cur) + sizeof(ek_list_head),
                        sizeof rec);
            out.push_back(rec);
        }
        return out;
    }

private:
    ek_list_head head_;
};

std::uint32_t used_slots(const ek_usb_modem_cfg_t &cfg) {
    return cfg.usbid_num < kSlots ? cfg.usbid_num : kSlots;
}

bool holds(const ek_usb_modem_cfg_t &cfg, UsbId id) {
    for (std::uint32_t i = 0; i < used_slots(cfg); ++i) {
        if (cfg.usbid[i].vid == id.vid && cfg.usbid[i].pid == id.pid) return true;
    }
    return false;
}

std::string modem_id_of(const ek_usb_modem_cfg_t &cfg) {
    return field_text(cfg.modem_id, sizeof cfg.modem_id);
}

Json modem_json(const ek_usb_modem_cfg_t &cfg) {
    Json ids = Json::array();
    for (std::uint32_t i = 0; i < used_slots(cfg); ++i) {
        ids.push_back(format_usb_id(cfg.usbid[i].vid, cfg.usbid[i].pid));
    }
    return Json{{"modem_id", json_text(modem_id_of(cfg))}, {"usb_ids", ids}};
}

std::string modem_human(const ek_usb_modem_cfg_t &cfg) {
    std::string ids;
    for (std::uint32_t i = 0; i < used_slots(cfg); ++i) {
        if (!ids.empty()) ids += ",";
        ids += format_usb_id(cfg.usbid[i].vid, cfg.usbid[i].pid);
    }
    return ids.empty() ? "-" : ids;
}

std::string modem_id_arg(const std::string &text) {
    return parse_name(text, "modem id", kModemIdMax);
}

// The library answers "not found" for a database it cannot open too.
bool fetch_modem(const std::string &modem_id, ek_usb_modem_cfg_t &out) {
    require_db(kModemDb);
    return ek_brd_lib_usb_modem_db_get_entry_by_modem_id(modem_id.c_str(), &out) == 0;
}

void store_modem(const ek_usb_modem_cfg_t &cfg) {
    if (ek_brd_lib_usb_modem_db_store_entry(&cfg) != 0) {
        op_failed("cannot store modem configuration " + modem_id_of(cfg));
    }
}

// Refuses a USB id that another modem already lists: a lookup by USB id
// answers the first configuration that lists it, never the other.
void refuse_listed_elsewhere(const std::string &modem_id, UsbId id) {
    for (const auto &other : load_modems()) {
        if (holds(other, id) && modem_id_of(other) != modem_id) {
            usage_error("USB id " + format_usb_id(id.vid, id.pid) + " is already listed by modem " +
                        modem_id_of(other));
        }
    }
}

std::string message_arg(const std::string &text, UsbId id) {
    if (text.empty()) usage_error("message is empty");
    for (char c : text) {
        // The library hands the message to the shell inside double quotes.
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            usage_error("message must be hexadecimal digits only");
        }
    }
    if (text.size() % 2 != 0) {
        usage_error("message has " + std::to_string(text.size()) +
                    " hexadecimal digits, an odd number: each byte takes two");
    }
    int fixed = std::snprintf(nullptr, 0, "%s -v 0x%x -p 0x%x -M \"\"", "usb_modeswitch -Q",
                              static_cast<unsigned>(id.vid), static_cast<unsigned>(id.pid));
    auto most = static_cast<std::size_t>((kSwitchCommandMax - fixed) & ~1);
    if (text.size() > most) {
        usage_error("message has " + std::to_string(text.size()) + " hexadecimal digits; at most " +
                    std::to_string(most) + " fit the mode-switch command");
    }
    return text;
}

}  // namespace

std::vector<ek_usb_modem_cfg_t> load_modems() {
    require_db(kModemDb);
    NodeList list;
    if (ek_brd_lib_usb_modem_db_getall(list.head()) != 0) {
        op_failed("cannot read the modem configurations");
    }
    return list.records<ek_usb_modem_cfg_t>();
}

std::vector<ek_usb_modeswitch_t> load_modeswitches() {
    require_db(kModeSwitchDb);
    NodeList list;
    if (ek_brd_lib_usb_modem_db_getall_usb_modeswitch(list.head()) != 0) {
        op_failed("cannot read the mode-switch records");
    }
    return list.records<ek_usb_modeswitch_t>();
}

Attached probe_usb() {
    // The library answers "nothing attached" when lsusb cannot be run.
    if (!on_path("lsusb")) op_failed("cannot run lsusb: it is not on PATH" + host_reason());
    Attached dev;
    // The probe writes the ids only for a device that is not a known hub;
    // vendor id 0 is never a real device's.
    std::uint16_t vid = 0, pid = 0;
    int found = 0;
    with_quiet_stdio([&] { found = ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid); });
    dev.any = found != 0;
    dev.id_known = dev.any && vid != 0;
    dev.vid = vid;
    dev.pid = pid;
    return dev;
}

Json attached_json(const Attached &dev) {
    return Json{{"attached", dev.any},
                {"usb_id", dev.id_known ? Json(format_usb_id(dev.vid, dev.pid)) : Json()}};
}

void add_modem(CLI::App &app, Context &ctx) {
    auto *modem = app.add_subcommand("modem", "USB modem configurations of /tmp/db/usb_modem_cfg");
    modem->require_subcommand(1);

    add_command(*modem, "list", "List every configuration", [&ctx] {
        Json doc = Json::array();
        Table t({"MODEM-ID", "USB-IDS"});
        for (const auto &cfg : load_modems()) {
            doc.push_back(modem_json(cfg));
            t.add({modem_id_of(cfg), modem_human(cfg)});
        }
        emit(ctx, doc, t.render());
    });

    static std::string get_id;
    add_command(*modem, "get", "Show the configuration of modem ID",
                [&ctx] {
                    std::string id = modem_id_arg(get_id);
                    ek_usb_modem_cfg_t cfg{};
                    if (!fetch_modem(id, cfg))
                        return not_found(ctx, "no modem configuration " + id);
                    emit(ctx, modem_json(cfg),
                         escaped(modem_id_of(cfg)) + "  " + modem_human(cfg) + "\n");
                })
        ->add_option("ID", get_id, "modem id")
        ->required();

    static std::string find_arg;
    add_command(*modem, "find", "Show the configuration that lists VID:PID",
                [&ctx] {
                    UsbId id = parse_usb_id(find_arg);
                    require_db(kModemDb);
                    ek_usb_modem_cfg_t cfg{};
                    if (ek_brd_lib_usb_modem_db_get_entry_by_usb_id(id.vid, id.pid, &cfg) != 0) {
                        return not_found(
                            ctx, "no modem configuration lists " + format_usb_id(id.vid, id.pid));
                    }
                    emit(ctx, modem_json(cfg),
                         escaped(modem_id_of(cfg)) + "  " + modem_human(cfg) + "\n");
                })
        ->add_option("VID:PID", find_arg, "USB id, e.g. 1a2b:0003")
        ->required();

    add_command(*modem, "count", "Number of configurations", [&ctx] {
        require_db(kModemDb);
        int n = ek_brd_lib_usb_modem_db_get_num();
        if (n < 0) op_failed("cannot count the modem configurations");
        emit(ctx, Json{{"count", n}}, std::to_string(n) + "\n");
    });

    static std::string store_id;
    static std::vector<std::string> store_ids;
    auto *store =
        add_command(*modem, "store", "Store modem ID listing exactly these USB ids", [&ctx] {
            std::string modem_id = modem_id_arg(store_id);
            std::vector<UsbId> ids;
            std::set<std::pair<int, int>> seen;
            for (const auto &text : store_ids) {
                UsbId id = parse_usb_id(text);
                if (seen.insert({id.vid, id.pid}).second) ids.push_back(id);
            }
            if (ids.size() > kSlots) usage_error("a modem lists at most 8 USB ids");

            ModemLock lock;
            for (UsbId id : ids) refuse_listed_elsewhere(modem_id, id);
            // An existing record keeps the rest of its configuration; only its
            // USB ids are replaced.
            ek_usb_modem_cfg_t cfg{};
            if (!fetch_modem(modem_id, cfg)) {
                cfg = ek_usb_modem_cfg_t{};
                std::memcpy(cfg.modem_id, modem_id.data(), modem_id.size());
            }
            while (cfg.usbid_num > 0) {
                auto before = cfg.usbid_num;
                ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(cfg.usbid[0].vid, cfg.usbid[0].pid,
                                                              &cfg);
                if (cfg.usbid_num == before) op_failed("stored record " + modem_id + " is damaged");
            }
            for (UsbId id : ids) ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(id.vid, id.pid, &cfg);
            if (!ek_brd_lib_usb_modem_cfg_is_entry_valid(&cfg)) {
                usage_error("configuration " + modem_id + " would not be valid");
            }
            store_modem(cfg);
            emit(ctx, modem_json(cfg), "stored " + modem_id + "  " + modem_human(cfg) + "\n");
        });
    store->add_option("ID", store_id, "modem id, at most 39 characters")->required();
    store->add_option("VID:PID", store_ids, "one to eight USB ids")->required();

    static std::string delete_id;
    add_command(*modem, "delete", "Delete the configuration of modem ID",
                [&ctx] {
                    std::string modem_id = modem_id_arg(delete_id);
                    ModemLock lock;
                    ek_usb_modem_cfg_t cfg{};
                    if (!fetch_modem(modem_id, cfg))
                        return not_found(ctx, "no modem configuration " + modem_id);
                    if (ek_brd_lib_usb_modem_db_delete_entry_by_modem_id(modem_id.c_str()) != 0) {
                        op_failed("cannot delete modem configuration " + modem_id);
                    }
                    emit(ctx, Json{{"deleted", modem_id}}, "deleted " + modem_id + "\n");
                })
        ->add_option("ID", delete_id, "modem id")
        ->required();

    static std::string edit_modem, edit_usb;
    auto edit = [&ctx](bool add) {
        std::string modem_id = modem_id_arg(edit_modem);
        UsbId id = parse_usb_id(edit_usb);
        std::string usb = format_usb_id(id.vid, id.pid);
        ModemLock lock;
        ek_usb_modem_cfg_t cfg{};
        if (!fetch_modem(modem_id, cfg))
            return not_found(ctx, "no modem configuration " + modem_id);
        if (add) {
            if (!holds(cfg, id) && cfg.usbid_num >= kSlots) {
                usage_error("modem " + modem_id + " already lists 8 USB ids");
            }
            refuse_listed_elsewhere(modem_id, id);
            ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(id.vid, id.pid, &cfg);
        } else {
            if (!holds(cfg, id))
                return not_found(ctx, "modem " + modem_id + " does not list " + usb);
            // The store keeps only configurations that list 1-8 ids.
            if (used_slots(cfg) == 1) {
                usage_error("modem " + modem_id + " lists only " + usb +
                            "; a modem lists 1-8 USB ids (modem delete removes it)");
            }
            ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(id.vid, id.pid, &cfg);
        }
        store_modem(cfg);
        emit(ctx, modem_json(cfg), escaped(modem_id_of(cfg)) + "  " + modem_human(cfg) + "\n");
    };
    auto *add_id = add_command(*modem, "add-id", "Add VID:PID to modem ID", [edit] { edit(true); });
    auto *remove_id =
        add_command(*modem, "remove-id", "Remove VID:PID from modem ID", [edit] { edit(false); });
    for (auto *cmd : {add_id, remove_id}) {
        cmd->add_option("ID", edit_modem, "modem id")->required();
        cmd->add_option("VID:PID", edit_usb, "USB id, e.g. 1a2b:0003")->required();
    }
}

void add_modeswitch(CLI::App &app, Context &ctx) {
    auto *ms = app.add_subcommand("modeswitch",
                                  "USB mode-switch records of /tmp/db/usb_modem_mode_switch");
    ms->require_subcommand(1);

    add_command(*ms, "list", "List every record", [&ctx] {
        Json doc = Json::array();
        Table t({"USB-ID"});
        for (const auto &rec : load_modeswitches()) {
            std::string id = format_usb_id(rec.vid, rec.pid);
            doc.push_back(Json{{"usb_id", id}});
            t.add({id});
        }
        emit(ctx, doc, t.render());
    });

    static std::string get_arg;
    add_command(
        *ms, "get", "Is there a record for VID:PID?",
        [&ctx] {
            UsbId id = parse_usb_id(get_arg);
            require_db(kModeSwitchDb);
            ek_usb_modeswitch_t rec{};
            if (ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(id.vid, id.pid, &rec) != 0) {
                return not_found(ctx, "no mode-switch record for " + format_usb_id(id.vid, id.pid));
            }
            emit(ctx, Json{{"usb_id", format_usb_id(rec.vid, rec.pid)}},
                 format_usb_id(rec.vid, rec.pid) + "\n");
        })
        ->add_option("VID:PID", get_arg, "USB id, e.g. 1a2b:0003")
        ->required();

    static std::string store_arg;
    add_command(
        *ms, "store", "Store a record for VID:PID (keeping an existing one's data)",
        [&ctx] {
            UsbId id = parse_usb_id(store_arg);
            require_db(kModeSwitchDb);
            ek_usb_modeswitch_t rec{};
            if (ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(id.vid, id.pid, &rec) != 0) {
                rec = ek_usb_modeswitch_t{};
                rec.vid = id.vid;
                rec.pid = id.pid;
            }
            if (ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&rec) != 0) {
                op_failed("cannot store the record for " + format_usb_id(id.vid, id.pid));
            }
            emit(ctx, Json{{"usb_id", format_usb_id(id.vid, id.pid)}},
                 "stored " + format_usb_id(id.vid, id.pid) + "\n");
        })
        ->add_option("VID:PID", store_arg, "USB id, e.g. 1a2b:0003")
        ->required();

    static std::string delete_arg;
    add_command(
        *ms, "delete", "Delete the record for VID:PID",
        [&ctx] {
            UsbId id = parse_usb_id(delete_arg);
            std::string usb = format_usb_id(id.vid, id.pid);
            require_db(kModeSwitchDb);
            ek_usb_modeswitch_t rec{};
            if (ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(id.vid, id.pid, &rec) != 0) {
                return not_found(ctx, "no mode-switch record for " + usb);
            }
            if (ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(id.vid, id.pid) != 0) {
                op_failed("cannot delete the record for " + usb);
            }
            emit(ctx, Json{{"deleted", usb}}, "deleted " + usb + "\n");
        })
        ->add_option("VID:PID", delete_arg, "USB id, e.g. 1a2b:0003")
        ->required();
}

void add_usb(CLI::App &app, Context &ctx) {
    auto *usb =
        app.add_subcommand("usb", "The USB bus: attached device, mode switch, serial ports");
    usb->require_subcommand(1);

    add_command(*usb, "probe", "Is a USB device attached (besides hubs)? Print its id", [&ctx] {
        Attached dev = probe_usb();
        if (!dev.any) return not_found(ctx, "no USB device attached");
        emit(ctx, attached_json(dev),
             (dev.id_known ? format_usb_id(dev.vid, dev.pid) : "only known hubs attached") + "\n");
    });

    static std::string switch_id, switch_msg;
    auto *sw = add_command(*usb, "switch", "Run usb_modeswitch for VID:PID with MESSAGE", [&ctx] {
        UsbId id = parse_usb_id(switch_id);
        std::string message = message_arg(switch_msg, id);
        std::string usb_id = format_usb_id(id.vid, id.pid);
        // The library switches whatever device is attached; the one named
        // must be the one lsusb shows, or another device would be switched.
        Attached dev = probe_usb();
        if (!dev.any) return not_found(ctx, "no USB device attached");
        if (!dev.id_known || dev.vid != id.vid || dev.pid != id.pid) {
            return not_found(ctx, usb_id + " is not attached (attached: " +
                                      (dev.id_known ? format_usb_id(dev.vid, dev.pid)
                                                    : std::string("known hubs only")) +
                                      ")");
        }
        if (!on_path("usb_modeswitch")) op_failed("cannot run usb_modeswitch: it is not on PATH");
        int rc = 0;
        with_quiet_stdio(
            [&] { rc = ek_brd_lib_usb_modem_modeswitch(id.vid, id.pid, message.c_str()); });
        if (rc != 0) op_failed("usb_modeswitch failed for " + usb_id);
        emit(ctx, Json{{"usb_id", usb_id}, {"switched", true}}, "switched " + usb_id + "\n");
    });
    sw->add_option("VID:PID", switch_id, "USB id, e.g. 1a2b:0003")->required();
    sw->add_option("MESSAGE", switch_msg,
                   "message to send: an even number of hexadecimal digits, at most 276")
        ->required();

    add_command(*usb, "tty-count", "Number of ttyACM*/ttyUSB* serial devices", [&ctx] {
        int n = -1;
        with_quiet_stdio([&] { n = ek_brd_lib_usb_modem_get_ttydev_count(); });
        if (n < 0) op_failed("cannot count the serial devices");
        emit(ctx, Json{{"count", n}}, std::to_string(n) + "\n");
    });
}

}  // namespace brdctl
