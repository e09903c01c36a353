// Shared setup of the benchmarks: database files written straight in the
// host database's image format (thousands of records in one write instead
// of one rewrite per store), and the records the library's queries read.
#pragma once

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db/db_format.h"
#include "ek_brd.h"
#include "ek_host.h"
#include "platform/ek_db.h"

namespace bench {

using Record = std::pair<std::string, std::vector<unsigned char>>;

inline void die(const char *what) {
    perror(what);
    exit(2);
}

inline void make_dirs(const std::string &dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) die(part.c_str());
        }
    }
}

// Replaces the database file at path with one holding exactly these records.
inline void write_db(const std::string &path, const std::vector<Record> &records) {
    namespace db = ek::host::db;
    size_t size = db::kHeaderSize;
    for (const auto &[key, value] : records) size += db::record_size(key.size(), value.size());
    std::vector<unsigned char> image(size);
    size_t at = db::kHeaderSize;
    for (const auto &[key, value] : records) {
        at += db::put_record(
            image.data() + at,
            db::Bytes(reinterpret_cast<const unsigned char *>(key.data()), key.size()),
            db::Bytes(value.data(), value.size()));
    }
    db::seal_image(std::span<unsigned char>(image), static_cast<uint32_t>(records.size()));
    make_dirs(path.substr(0, path.rfind('/')));
    std::string tmp = path + ".bench";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()) ||
        close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        die(path.c_str());
    }
    // A process keeps a database's image for its next opens only once the
    // file is more than 2 s old; the wait makes the loops measure a daemon
    // that opens an unchanged database again and again, not the first 2 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    // A database the host platform refuses (its trust rule, a directory
    // another user owns) would read as empty, and a benchmark would index
    // past its records: stop here with the platform's reason instead.
    ek_host_last_log_line()[0] = '\0';
    ek_db_handle_t handle = ek_db_open_ex(path.c_str(), EK_DB_MODE);
    int32_t count = handle != nullptr ? ek_db_count(handle) : -1;
    if (handle != nullptr) ek_db_close(handle);
    if (count != static_cast<int32_t>(records.size())) {
        const char *reason = ek_host_last_log_line();
        fprintf(stderr, "bench: cannot set up %s: %s\n", path.c_str(),
                reason[0] != '\0' ? reason : "the host database does not read it back");
        exit(2);
    }
}

template <typename T>
std::vector<unsigned char> bytes_of(const T &value) {
    const auto *p = reinterpret_cast<const unsigned char *>(&value);
    return std::vector<unsigned char>(p, p + sizeof value);
}

// n WAN records "eth0".."ethN-1"; every eighth is a tunnel. None matches
// the probe values the queries are asked for, so every query scans all.
inline std::vector<Record> wanif_records(int n) {
    std::vector<Record> out;
    for (int i = 0; i < n; ++i) {
        ek_wanif_entry_t e;
        memset(&e, 0, sizeof e);
        char ifname[17];
        snprintf(ifname, sizeof ifname, i % 8 == 7 ? "tunnel%d" : "eth%d", i);
        memcpy(e.ifname, ifname, strnlen(ifname, sizeof e.ifname));
        snprintf(e.name, sizeof e.name, "wan%d", i);
        e.priority = 100 + i;
        e.is_wanif = 1;
        e.is_active_dft_wan = i == 0;
        e.ip_addr = 0x0A000001u + static_cast<uint32_t>(i);
        e.is_pppoe = i % 3 == 0;
        e.pppoe_ethnet_kifidx = i + 2;
        out.emplace_back(ifname, bytes_of(e));
    }
    return out;
}

// n modem configurations with two USB id pairs each, vid 0x1000 + i.
inline std::vector<Record> usb_modem_records(int n) {
    std::vector<Record> out;
    for (int i = 0; i < n; ++i) {
        ek_usb_modem_cfg_t c;
        memset(&c, 0, sizeof c);
        snprintf(c.modem_id, sizeof c.modem_id, "modem%d", i);
        c.usbid_num = 2;
        c.usbid[0].vid = static_cast<uint16_t>(0x1000 + i);
        c.usbid[0].pid = 0x0001;
        c.usbid[1].vid = static_cast<uint16_t>(0x1000 + i);
        c.usbid[1].pid = 0x0002;
        out.emplace_back(c.modem_id, bytes_of(c));
    }
    return out;
}

}  // namespace bench
