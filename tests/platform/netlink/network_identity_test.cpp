// SPDX-License-Identifier: GPL-3.0-or-later
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>

#include "Lab.h"
#include "arp/NeighbourArpSender.h"
#include "netlink/NetworkIdentity.h"

namespace talvik::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One RTM_NEWROUTE message as the kernel writes it: header, rtmsg, then 4-byte attributes.
Bytes RouteMessage(std::uint8_t dstLength, std::uint8_t table,
                   const std::vector<std::pair<std::uint16_t, std::uint32_t>>& attributes,
                   std::uint16_t type = RTM_NEWROUTE) {
    Bytes out(NLMSG_SPACE(sizeof(rtmsg)) + attributes.size() * RTA_SPACE(4));
    nlmsghdr header{static_cast<std::uint32_t>(out.size()), type, NLM_F_MULTI, 1, 0};
    rtmsg route{};
    route.rtm_family = AF_INET;
    route.rtm_dst_len = dstLength;
    route.rtm_table = table;
    route.rtm_type = RTN_UNICAST;
    std::memcpy(out.data(), &header, sizeof header);
    std::memcpy(out.data() + NLMSG_HDRLEN, &route, sizeof route);
    std::size_t at = NLMSG_SPACE(sizeof(rtmsg));
    for (const auto& [kind, value] : attributes) {
        rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(4)), kind};
        std::memcpy(out.data() + at, &attribute, sizeof attribute);
        std::memcpy(out.data() + at + RTA_LENGTH(0), &value, 4);
        at += RTA_SPACE(4);
    }
    return out;
}

TEST(NetworkIdentity, RouteDumpBytes) {
    // nlmsghdr (length 28, RTM_GETROUTE, NLM_F_REQUEST | NLM_F_DUMP, sequence 7), then an rtmsg
    // that asks for AF_INET and nothing else.
    const Bytes expected{28, 0, 0, 0, 26, 0, 0x01, 0x03, 7, 0, 0, 0, 0, 0,
                         0,  0, 2, 0, 0,  0, 0,    0,    0, 0, 0, 0, 0, 0};
    EXPECT_EQ(BuildRouteDumpRequest(7), expected);

    Bytes dump;
    const auto add = [&dump](const Bytes& message) {
        dump.insert(dump.end(), message.begin(), message.end());
    };
    const std::uint32_t gateway = htonl(0xC0A80101);
    add(RouteMessage(
        0, RT_TABLE_MAIN,
        {{RTA_TABLE, RT_TABLE_MAIN}, {RTA_PRIORITY, 600}, {RTA_GATEWAY, gateway}, {RTA_OIF, 3}}));
    add(RouteMessage(24, RT_TABLE_MAIN, {{RTA_DST, htonl(0xC0A80100)}, {RTA_OIF, 3}}));
    add(RouteMessage(0, RT_TABLE_MAIN, {{RTA_OIF, 4}}));  // a default route with no gateway
    add(RouteMessage(0, 100, {{RTA_TABLE, 100}, {RTA_GATEWAY, gateway}, {RTA_OIF, 5}}));
    bool done = false;
    auto routes = ParseDefaultRoutes(dump, done);
    EXPECT_FALSE(done);
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_EQ(routes[0].outputIndex, 3);
    EXPECT_EQ(routes[0].gateway, 0xC0A80101u);
    EXPECT_EQ(routes[0].priority, 600u);

    add(RouteMessage(0, 0, {}, NLMSG_DONE));
    EXPECT_EQ(ParseDefaultRoutes(dump, done).size(), 1u);
    EXPECT_TRUE(done);
    // Cut short anywhere, it reads what is whole and stops.
    for (std::size_t size = 0; size < dump.size(); ++size) {
        done = false;
        EXPECT_LE(ParseDefaultRoutes(std::span(dump.data(), size), done).size(), 1u);
    }
}

constexpr std::uint32_t kGatewayIp = 0xCB0071FE;  // 203.0.113.254, the lab's gateway

TEST(NetworkIdentity, TellsTheLabsNetworkByItsGateway) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make network namespaces";
    }
    Lab lab("i", true, {});
    ASSERT_TRUE(lab.Up());
    // Appended rather than "[" + ...: GCC 12 at -O3 takes the inlined insert for an overlap.
    std::string hosts = HostJson(kHostIp);
    hosts.insert(0, 1, '[').append(", ").append(HostJson(kGatewayIp)).append("]");
    Responder responder(lab, hosts, 1);
    ASSERT_TRUE(responder.Running());
    std::thread([&] {
        ASSERT_TRUE(Enter(lab.Name() + "s"));
        // The kernel has not met the gateway yet: the subnet and its address, no MAC.
        auto identity = IdentifyNetwork(kHostIp);
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->interfaceName, lab.Name() + "a");
        EXPECT_EQ(identity->address, kScannerIp);
        EXPECT_EQ(identity->prefixLength, 24);
        EXPECT_EQ(identity->gateway, kGatewayIp);
        EXPECT_FALSE(identity->gatewayMac);

        // Once it has (the unprivileged sender makes the kernel ask), its MAC tells the network.
        NeighbourArpSender sender;
        EXPECT_EQ(Ask(sender, kGatewayIp), Answer(HostMac(kGatewayIp)));
        identity = IdentifyNetwork(kHostIp);
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->gatewayMac, HostMac(kGatewayIp));

        EXPECT_FALSE(IdentifyNetwork(kOffLinkIp)) << "routed through the gateway";
    }).join();
}

}  // namespace
}  // namespace talvik::test
