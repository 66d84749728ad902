// SPDX-License-Identifier: GPL-3.0-or-later
// Which network a scan ran on, from the kernel's route and neighbour tables as /proc prints them.

#include <gtest/gtest.h>

#include "platform/NetworkIdentity.h"

namespace talvik::test {
namespace {

TEST(NetworkIdentity, DefaultGatewayAndItsMacFromProcText) {
    const std::string route =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "lan0\t0071A8C6\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "wan0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "lan0\t00000000\t FE7100CB\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"  // no gateway flag
        "lan0\t00000000\tFE7100CB\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
    EXPECT_EQ(DefaultGateway(route, "lan0"), 0xCB0071FEu);  // 203.0.113.254
    EXPECT_EQ(DefaultGateway(route, "wan0"), 0xC0A80101u);
    EXPECT_EQ(DefaultGateway(route, "lan1"), std::nullopt);
    EXPECT_EQ(DefaultGateway("", "lan0"), std::nullopt);

    const std::string arp =
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "203.0.113.254    0x1         0x0         00:00:00:00:00:00     *        lan0\n"
        "203.0.113.254    0x1         0x2         02:54:56:00:00:fe     *        lan1\n"
        "203.0.113.9      0x1         0x2         3c:22:fb:00:00:09     *        lan0\n";
    EXPECT_EQ(NeighbourMac(arp, 0xCB007109u, "lan0"),
              (MacAddress{0x3c, 0x22, 0xfb, 0x00, 0x00, 0x09}));
    EXPECT_EQ(NeighbourMac(arp, 0xCB0071FEu, "lan1"),
              (MacAddress{0x02, 0x54, 0x56, 0x00, 0x00, 0xfe}));
    EXPECT_EQ(NeighbourMac(arp, 0xCB0071FEu, "lan0"), std::nullopt);  // incomplete
    EXPECT_EQ(NeighbourMac(arp, 0xCB007108u, "lan0"), std::nullopt);
}

}  // namespace
}  // namespace talvik::test
