#include <gtest/gtest.h>

#include "NetnsPair.h"
#include "platform/ArpSenders.h"

namespace talvik {
namespace {

TEST(MakeArpSender, EveryKindReachesTheSameHost) {
    if (!testing::IsRoot()) {
        GTEST_SKIP() << "needs root to make network namespaces";
    }
    testing::NetnsPair lab;
    ASSERT_TRUE(lab.Ok());
    std::vector<ArpSenderKind> kinds = {ArpSenderKind::Automatic, ArpSenderKind::Packet,
                                        ArpSenderKind::Neighbour};
#ifdef TALVIK_TEST_HELPER
    kinds.push_back(ArpSenderKind::Helper);
#endif
    for (ArpSenderKind kind : kinds) {
        ASSERT_TRUE(lab.InScanner([&] {
            ArpSenderOptions options;
            options.kind = kind;
#ifdef TALVIK_TEST_HELPER
            options.helperPath = TALVIK_TEST_HELPER;
#endif
            ArpSenderKind chosen = ArpSenderKind::Automatic;
            const auto sender = MakeArpSender(options, &chosen);
            ASSERT_TRUE(sender) << ArpSenderKindName(kind);
            // Root may open the socket itself, so that is what it is given.
            EXPECT_EQ(chosen, kind == ArpSenderKind::Automatic ? ArpSenderKind::Packet : kind);
            std::uint8_t mac[6] = {};
            std::uint32_t length = 6;
            EXPECT_EQ(sender->SendARP(testing::kHostIp, mac, &length, {}), kNoError)
                << ArpSenderKindName(chosen);
            EXPECT_TRUE(std::equal(testing::kHostMac.begin(), testing::kHostMac.end(), mac));
        }));
    }
}

TEST(MakeArpSender, AForcedKindThatCannotBeHadGivesNone) {
    ArpSenderOptions options;
    options.kind = ArpSenderKind::Helper;
    options.helperPath = "/nonexistent/talvik-arp";
    EXPECT_FALSE(MakeArpSender(options));
    options.kind = ArpSenderKind::Packet;
    options.schedule.sends.clear();
    EXPECT_FALSE(MakeArpSender(options));
}

}  // namespace
}  // namespace talvik
