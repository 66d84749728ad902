#include <gtest/gtest.h>

#include "NetnsPair.h"
#include "platform/Platform.h"

namespace talvik {
namespace {

TEST(MakeArpSender, RootGetsThePacketSocketAndAForcedKindMayBeRefused) {
    if (testing::IsRoot()) {
        testing::NetnsPair lab;
        ASSERT_TRUE(lab.Ok());
        ASSERT_TRUE(lab.InScanner([] {
            ArpSenderKind chosen = ArpSenderKind::Automatic;
            const auto sender = MakeArpSender({}, &chosen);
            ASSERT_TRUE(sender);
            EXPECT_EQ(chosen, ArpSenderKind::Packet);
            std::uint8_t mac[6] = {};
            std::uint32_t length = 6;
            EXPECT_EQ(sender->SendARP(testing::kHostIp, mac, &length, {}), kNoError);
        }));
    }
    ArpSenderOptions options;
    options.kind = ArpSenderKind::Helper;
    options.helperPath = "/nonexistent/talvik-arp";
    ArpSenderKind chosen = ArpSenderKind::Automatic;
    EXPECT_FALSE(MakeArpSender(options, &chosen));
    EXPECT_EQ(chosen, ArpSenderKind::Helper);
    options.kind = ArpSenderKind::Neighbour;
    EXPECT_TRUE(MakeArpSender(options, &chosen));
}

}  // namespace
}  // namespace talvik
