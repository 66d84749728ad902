#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/LinkInterfaces.h"

namespace talvik {
namespace {

constexpr std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

LinkInterface Link(const char* name, std::uint8_t macTail, std::uint32_t address, int prefix) {
    return LinkInterface{name, macTail, MacAddress{0x02, 0, 0, 0, 0, macTail}, address, prefix};
}

TEST(ChooseLink, MostSpecificConnectedSubnetOwnAddressOrNothing) {
    std::vector<LinkInterface> links = {
        Link("wide", 1, Ip(203, 0, 112, 1), 23),    Link("narrow", 2, Ip(203, 0, 113, 129), 26),
        Link("same", 3, Ip(203, 0, 113, 130), 26),  Link("p2p", 4, Ip(198, 51, 100, 0), 31),
        Link("single", 5, Ip(198, 51, 100, 9), 32), Link("half", 6, Ip(198, 51, 100, 130), 25),
    };
    using enum LinkVerdict;
    struct Case {
        std::uint32_t target;
        LinkVerdict verdict;
        const char* link;
    };
    const Case cases[] = {
        {Ip(203, 0, 113, 10), OnLink, "wide"},      {Ip(198, 51, 100, 254), OnLink, "half"},
        {Ip(198, 51, 100, 1), OnLink, "p2p"},       {Ip(203, 0, 112, 1), OwnAddress, "wide"},
        {Ip(203, 0, 113, 130), OwnAddress, "same"}, {Ip(198, 51, 100, 9), OwnAddress, "single"},
    };
    for (int order = 0; order < 2; ++order) {
        for (const Case& c : cases) {
            const LinkChoice choice = ChooseLink(links, c.target);
            EXPECT_EQ(choice.verdict, c.verdict) << std::hex << c.target;
            EXPECT_EQ(choice.link.name, c.link) << std::hex << c.target;
            EXPECT_EQ(choice.link.mac[5], choice.link.index) << choice.link.name;
        }
        // Of two equally specific subnets, the first listed wins.
        EXPECT_EQ(ChooseLink(links, Ip(203, 0, 113, 140)).link.name, order ? "same" : "narrow");
        // Beside a /32, outside a /25, network and broadcast addresses, elsewhere, no host's.
        for (std::uint32_t target :
             {Ip(198, 51, 100, 10), Ip(198, 51, 100, 127), Ip(198, 51, 100, 128),
              Ip(198, 51, 100, 255), Ip(203, 0, 112, 0), Ip(203, 0, 113, 255), Ip(192, 0, 2, 10),
              0u, 0xFFFFFFFFu, Ip(127, 0, 0, 1), Ip(224, 0, 0, 1), Ip(240, 0, 0, 1)}) {
            EXPECT_EQ(ChooseLink(links, target).verdict, NotOnLink) << std::hex << target;
        }
        std::reverse(links.begin(), links.end());
    }
    EXPECT_EQ(ChooseLink({}, Ip(203, 0, 113, 10)).verdict, LinkVerdict::NotOnLink);
}

}  // namespace
}  // namespace talvik
