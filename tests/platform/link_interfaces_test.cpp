#include <gtest/gtest.h>

#include <vector>

#include "platform/LinkInterfaces.h"

namespace talvik {
namespace {

constexpr std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

LinkInterface Link(const char* name, int index, std::uint8_t macTail, std::uint32_t address,
                   int prefix) {
    return LinkInterface{name, index, MacAddress{0x02, 0, 0, 0, 0, macTail}, address, prefix};
}

TEST(ChooseLink, TargetOnAConnectedSubnetGoesOutThere) {
    const std::vector<LinkInterface> links = {
        Link("veth0", 2, 1, Ip(203, 0, 113, 1), 24),
        Link("veth1", 3, 2, Ip(198, 51, 100, 7), 25),
    };
    const auto a = ChooseLink(links, Ip(203, 0, 113, 10));
    EXPECT_EQ(a.verdict, LinkVerdict::OnLink);
    EXPECT_EQ(a.link.name, "veth0");
    EXPECT_EQ(a.link.address, Ip(203, 0, 113, 1));

    const auto b = ChooseLink(links, Ip(198, 51, 100, 126));
    EXPECT_EQ(b.verdict, LinkVerdict::OnLink);
    EXPECT_EQ(b.link.index, 3);

    // Just outside the /25, and a different network altogether.
    EXPECT_EQ(ChooseLink(links, Ip(198, 51, 100, 129)).verdict, LinkVerdict::NotOnLink);
    EXPECT_EQ(ChooseLink(links, Ip(192, 0, 2, 10)).verdict, LinkVerdict::NotOnLink);
    EXPECT_EQ(ChooseLink({}, Ip(203, 0, 113, 10)).verdict, LinkVerdict::NotOnLink);
}

TEST(ChooseLink, MostSpecificSubnetWinsWhateverTheOrder) {
    const LinkInterface wide = Link("wide", 2, 1, Ip(203, 0, 112, 1), 23);
    const LinkInterface narrow = Link("narrow", 3, 2, Ip(203, 0, 113, 129), 26);
    const LinkInterface same = Link("same", 4, 3, Ip(203, 0, 113, 130), 26);
    for (const auto& links : {std::vector{wide, narrow, same}, std::vector{same, narrow, wide}}) {
        const auto inside = ChooseLink(links, Ip(203, 0, 113, 140));
        EXPECT_EQ(inside.verdict, LinkVerdict::OnLink);
        EXPECT_EQ(inside.link.name, links.front().name == "wide" ? "narrow" : "same");
        EXPECT_EQ(ChooseLink(links, Ip(203, 0, 113, 10)).link.name, "wide");
    }
}

TEST(ChooseLink, OwnAddressAnswersWithoutARequest) {
    const std::vector<LinkInterface> links = {
        Link("veth0", 2, 1, Ip(203, 0, 113, 1), 24),
        Link("veth0", 2, 1, Ip(198, 51, 100, 1), 32),
    };
    const auto own = ChooseLink(links, Ip(203, 0, 113, 1));
    EXPECT_EQ(own.verdict, LinkVerdict::OwnAddress);
    EXPECT_EQ(own.link.mac, (MacAddress{0x02, 0, 0, 0, 0, 1}));
    // A /32 address is ours but opens no subnet.
    EXPECT_EQ(ChooseLink(links, Ip(198, 51, 100, 1)).verdict, LinkVerdict::OwnAddress);
    EXPECT_EQ(ChooseLink(links, Ip(198, 51, 100, 2)).verdict, LinkVerdict::NotOnLink);
}

TEST(ChooseLink, AddressesNoHostCanHoldAreNeverAsked) {
    const std::vector<LinkInterface> links = {
        Link("veth0", 2, 1, Ip(203, 0, 113, 1), 24),
        Link("p2p", 3, 2, Ip(198, 51, 100, 0), 31),
    };
    for (std::uint32_t target : {Ip(203, 0, 113, 0), Ip(203, 0, 113, 255), 0u, 0xFFFFFFFFu,
                                 Ip(127, 0, 0, 1), Ip(224, 0, 0, 1), Ip(240, 0, 0, 1)}) {
        EXPECT_EQ(ChooseLink(links, target).verdict, LinkVerdict::NotOnLink) << std::hex << target;
    }
    // Both ends of a /31 are hosts.
    EXPECT_EQ(ChooseLink(links, Ip(198, 51, 100, 1)).verdict, LinkVerdict::OnLink);
}

}  // namespace
}  // namespace talvik
