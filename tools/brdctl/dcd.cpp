// dcd: the host platform's device configuration service. On a router the
// platform's own service owns this configuration; brdctl sets it only on a
// host, through the host platform's setter.
#include <net/if.h>

#include "brdctl.h"
#include "ek_host.h"
#include "platform/ek_platform.h"

namespace brdctl {

void add_dcd(CLI::App &app, Context &ctx) {
    auto *dcd =
        app.add_subcommand("dcd", "Mode configurations of the host's configuration service");
    dcd->require_subcommand(1);

    static std::string set_if, set_prio;
    auto *set =
        add_command(*dcd, "set-priority", "Set the WAN priority configured for IFNAME", [&ctx] {
            std::string ifname = parse_name(set_if, "interface name", kIfNameMax - 1);
            auto prio = static_cast<std::int32_t>(parse_int(set_prio, "priority", 0, 9999));
            bool by_index =
                ek_is_eth_ifname(ifname.c_str()) != 0 || ek_is_p_ifname(ifname.c_str()) != 0;
            if (!by_index && ek_is_usbnet_ppp_ifname(ifname.c_str()) == 0 &&
                ek_is_usb_ifname(ifname.c_str()) == 0) {
                usage_error(ifname + " is not an ethN, pN, usbnetN, pppN or usbN interface name");
            }
            // The library asks for an eth or p configuration by kernel index, so
            // one stored for a name the kernel does not know could never be read.
            if (by_index && if_nametoindex(ifname.c_str()) == 0) {
                usage_error("there is no kernel interface " + ifname +
                            " (eth and p priorities are looked up by kernel interface index)");
            }
            forget_host_reason();
            if (ek_host_dcd_set_wan_priority(ifname.c_str(), prio) != 0) {
                op_failed("cannot store the priority of " + ifname + host_reason());
            }
            emit(ctx, Json{{"interface", ifname}, {"priority", prio}},
                 ifname + " priority " + std::to_string(prio) + "\n");
        });
    set->add_option("IFNAME", set_if,
                    "interface name: ethN or pN (an existing kernel interface: looked up by "
                    "its index), usbnetN, pppN or usbN")
        ->required();
    set->add_option("PRIORITY", set_prio, "WAN priority, 0-9999")->required();
}

}  // namespace brdctl
