// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel's route and neighbour tables as /proc shows them, read for a network's identity.
#include <gtest/gtest.h>

#include "platform/NetworkIdentity.h"

namespace talvik::test {
namespace {

constexpr const char* kRoutes =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "wlan0\t00000000\t0164A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
    "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
    "eth0\t00000000\t0200A8C0\t0003\t0\t0\t50\t00000000\t0\t0\t0\n"
    "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
    "eth1\t00000000\t0100A8C0\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"  // not a gateway route
    "eth0\tbroken line\n";

constexpr const char* kNeighbours =
    "IP address       HW type     Flags       HW address            Mask     Device\n"
    "192.168.0.2      0x1         0x2         aa:bb:cc:dd:ee:02     *        eth0\n"
    "192.168.0.3      0x1         0x0         00:00:00:00:00:00     *        eth0\n"
    "192.168.0.4      0x1         0x2         aa:bb:cc:dd:ee:04     *        wlan0\n";

TEST(NetworkIdentity, GatewayAndItsMacFromTheKernelsTables) {
    EXPECT_EQ(DefaultGateway(kRoutes, "eth0"), 0xC0A80002u);  // the lowest metric
    EXPECT_EQ(DefaultGateway(kRoutes, "wlan0"), 0xC0A86401u);
    EXPECT_EQ(DefaultGateway(kRoutes, "eth1"), std::nullopt);
    EXPECT_EQ(DefaultGateway("", "eth0"), std::nullopt);

    EXPECT_EQ(NeighbourMac(kNeighbours, 0xC0A80002, "eth0"),
              (MacAddress{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x02}));
    EXPECT_EQ(NeighbourMac(kNeighbours, 0xC0A80003, "eth0"), std::nullopt);  // incomplete
    EXPECT_EQ(NeighbourMac(kNeighbours, 0xC0A80004, "eth0"), std::nullopt);  // another link
    EXPECT_EQ(NeighbourMac("garbage", 0xC0A80002, "eth0"), std::nullopt);
}

}  // namespace
}  // namespace talvik::test
