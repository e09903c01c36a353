#!/usr/bin/env python3
"""Summary of a scripts/bench.sh run: each hot path's median over the
median of its same-run baseline, against its goal.

Usage: report.py RESULTS_DIR [--markdown]

Times are medians over the repetitions. Benchmarks marked real_time (the
stores, which wait for the disk) compare wall-clock time; all others compare
CPU time, which a busy shared machine disturbs less.
"""
import json
import os
import sys

WANIF_QUERIES = [
    ("count", "BM_wanif_count"),
    ("check_intf_wanif", "BM_wanif_check_intf_wanif"),
    ("check_intf_active_dft_wan", "BM_wanif_check_active_dft_wan"),
    ("cpe_shm_check_wan_intf_ip", "BM_wanif_check_wan_intf_ip"),
    ("get_pppoe_ethnet_kifidx", "BM_wanif_pppoe_kifidx"),
    ("check_cfg_priority_valid", "BM_wanif_priority_valid"),
]


def rows():
    """(section, label, file, numerator, denominator, goal); a denominator
    given as a tuple is the sum of those medians."""
    out = [
        ("1 CPE accessor", "ek_brd_get_brd_auth / inline volatile load", "shm",
         "BM_brd_auth_accessor", "BM_brd_auth_volatile_load", 1.5),
        ("1 CPE accessor", "ek_brd_get_brd_auth / call to a one-load .so function", "shm",
         "BM_brd_auth_accessor", "BM_brd_auth_call_floor", None),
    ]
    for label, bm in WANIF_QUERIES:
        out.append(("2 WAN queries", f"{label} n=64 / bare db calls", "wanif",
                    f"{bm}/64", "BM_wanif_bare_db/64", 1.3))
    for label, bm in WANIF_QUERIES:
        out.append(("2 WAN queries", f"{label} time(4096)/time(512)", "wanif",
                    f"{bm}/4096", f"{bm}/512", 9.0))
    for label, bm in WANIF_QUERIES:
        out.append(("2 WAN queries", f"{label} n=64 / bare calls + required records", "wanif",
                    f"{bm}/64", "BM_wanif_bare_db_slots/64", None))
    out.append(("2 WAN queries", "bare db calls time(4096)/time(512)", "wanif",
                "BM_wanif_bare_db/4096", "BM_wanif_bare_db/512", None))
    out.append(("2 WAN queries", "bare calls + required records time(4096)/time(512)", "wanif",
                "BM_wanif_bare_db_slots/4096", "BM_wanif_bare_db_slots/512", None))
    for medium in ("tmpfs", "disk"):
        f = "db_" + medium
        if medium == "tmpfs":
            out += [
                ("3 host db vs others", "walk 64x904: host / open+read+close of its file", f,
                 "BM_walk_host", "BM_walk_file_floor", 1.3),
                ("3 host db vs others", "walk 64x904: host / LMDB", f,
                 "BM_walk_host", "BM_walk_lmdb", 1.0),
                ("3 host db vs others", "walk 64x904: host / SQLite", f,
                 "BM_walk_host", "BM_walk_sqlite", 1.0),
            ]
        out += [
            ("3 host db vs others", f"store [{medium}]: host / SQLite (DELETE, FULL)", f,
             "BM_store_host/real_time", "BM_store_sqlite/real_time", 1.0),
            ("3 host db vs others", f"store [{medium}]: host / SQLite (WAL, FULL)", f,
             "BM_store_host/real_time", "BM_store_sqlite_wal/real_time", None),
            ("3 host db vs others", f"store [{medium}]: host / LMDB", f,
             "BM_store_host/real_time", "BM_store_lmdb/real_time", 1.5),
        ]
    out += [
        ("4 binary search", "static routes (16) / std::lower_bound", "search",
         "BM_search_static_routes_16", "BM_search_std_lower_bound_16", 1.2),
        ("4 binary search", "VPN subnets (36) / std::lower_bound", "search",
         "BM_search_vpn_subnets_36", "BM_search_std_lower_bound_36", 1.2),
        ("5 local subnet, USB", "is_cpe_local_subnet, no mgt0 / /proc/net/dev walk",
         "local_no_mgt0", "BM_local_subnet_miss", "BM_proc_net_dev_walk", 1.3),
        ("5 local subnet, USB", "is_cpe_local_subnet, mgt0 up, miss / /proc/net/dev walk",
         "local", "BM_local_subnet_miss", "BM_proc_net_dev_walk", 1.3),
        ("5 local subnet, USB", "is_cpe_local_subnet, mgt0 up, miss / (walk + dcd call)",
         "local", "BM_local_subnet_miss", ("BM_proc_net_dev_walk", "BM_dcd_addr_mgt0"), None),
        ("5 local subnet, USB", "is_cpe_local_subnet, mgt0 hit / (walk + dcd call)", "local",
         "BM_local_subnet_mgt0", ("BM_proc_net_dev_walk", "BM_dcd_addr_mgt0"), None),
        ("5 local subnet, USB", "usb lookup by id (miss, 64) / bare store walk", "usb",
         "BM_usb_lookup_by_id_miss", "BM_usb_store_bare_walk", 1.3),
        ("5 local subnet, USB", "usb lookup by id (last, 64) / bare store walk", "usb",
         "BM_usb_lookup_by_id_last", "BM_usb_store_bare_walk", None),
    ]
    return out


def medians(path):
    """run_name -> median time in ns (real or CPU, see the module doc)."""
    with open(path) as f:
        data = json.load(f)
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    out = {}
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") != "median" or b.get("error_occurred"):
            continue
        name = b["run_name"]
        t = b["real_time"] if name.endswith("/real_time") else b["cpu_time"]
        out[name] = t * scale[b.get("time_unit", "ns")]
    return out


def fmt_ns(ns):
    for unit, div in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= div:
            return f"{ns / div:.3g} {unit}"
    return f"{ns:.3g} ns"


def main():
    results = sys.argv[1]
    markdown = "--markdown" in sys.argv
    cache = {}
    table = []
    failed = 0
    for section, label, file, num, den, goal in rows():
        if file not in cache:
            path = os.path.join(results, file + ".json")
            cache[file] = medians(path) if os.path.exists(path) else None
        m = cache[file]
        dens = den if isinstance(den, tuple) else (den,)
        if m is None or num not in m or any(d not in m for d in dens):
            table.append((section, label, "-", "-", "-", "not run"))
            continue
        base = sum(m[d] for d in dens)
        ratio = m[num] / base
        if goal is None:
            verdict = "info"
        elif ratio <= goal:
            verdict = "pass"
        else:
            verdict = "FAIL"
            failed += 1
        table.append((section, label, f"{ratio:.2f}", "-" if goal is None else f"<= {goal:g}",
                      f"{fmt_ns(m[num])} / {fmt_ns(base)}", verdict))

    size_path = os.path.join(results, "size.txt")
    if os.path.exists(size_path):
        with open(size_path) as f:
            fields = f.read().split("\n")[1].split()
        text, data = int(fields[0]), int(fields[1])
        total = text + data
        goal = 40 * 1024
        ok = total <= goal
        failed += not ok
        table.append(("6 size, memory", "mips -Os stripped libek_brd.so text+data", f"{total} B",
                      "<= 40960 B", f"text {text} + data {data} ({total / 1024:.1f} KiB)",
                      "pass" if ok else "FAIL"))
    rss_path = os.path.join(results, "rss.json")
    if os.path.exists(rss_path):
        with open(rss_path) as f:
            rss = json.load(f)
        table.append(("6 size, memory", "VmRSS of libek_brd.so's own mappings (host)",
                      f"{rss['library_mappings_kib']} KiB", "-",
                      "resident pages of its text, data and relro", "info"))
        table.append(("6 size, memory", "VmRSS added by dlopen of it (host)",
                      f"{rss['rss_loaded_kib'] - rss['rss_before_kib']} KiB", "-",
                      "the library plus the loader's own bookkeeping; "
                      f"+{rss['rss_attached_kib'] - rss['rss_loaded_kib']} KiB after the first "
                      "CPE accessor call", "info"))

    head = ("area", "measure", "ratio", "goal", "median / baseline", "result")
    if markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for r in table:
            print("| " + " | ".join(r) + " |")
    else:
        widths = [max(len(str(r[i])) for r in table + [head]) for i in range(len(head))]
        line = "  ".join("{:<%d}" % w for w in widths)
        print(line.format(*head))
        print(line.format(*("-" * w for w in widths)))
        for r in table:
            print(line.format(*r))
        print(f"\n{failed} goal(s) missed" if failed else "\nevery goal met")


if __name__ == "__main__":
    main()
