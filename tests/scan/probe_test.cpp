#include <gtest/gtest.h>

#include <cstring>

#include "scan/ScanEngine.h"
#include "tests/support/ScriptedArpSender.h"

namespace talvik {
namespace {

using test::Answers;
using test::ScriptedArpSender;
using test::Silent;

TEST(ArpProbe, WritesLowerCaseMacOfAnAnsweringHost) {
    ScriptedArpSender arp;
    arp.Script(0xCB007105u, Answers({0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C}));
    char text[20] = {};
    EXPECT_EQ(ArpProbe(arp, 0xCB007105u, text, sizeof text, {}), kNoError);
    EXPECT_STREQ(text, "00-0c-29-3a-4b-5c");
    EXPECT_EQ(arp.Calls(), std::vector<std::uint32_t>{0xCB007105u});
}

TEST(ArpProbe, LeavesTextAloneOnFailureOrShortBuffer) {
    ScriptedArpSender arp;
    arp.Script(0xCB007105u, Answers({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
    arp.Script(0xCB007106u, Silent());

    char text[20];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(ArpProbe(arp, 0xCB007106u, text, sizeof text, {}), kErrorBadNetName);
    EXPECT_EQ(text[0], 'x');

    // 18 bytes would hold the text exactly, yet the probe asks for more.
    EXPECT_EQ(ArpProbe(arp, 0xCB007105u, text, 18, {}), kNoError);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(arp.Calls().size(), 2u);

    EXPECT_EQ(ArpProbe(arp, 0xCB007105u, text, 19, {}), kNoError);
    EXPECT_STREQ(text, "aa-bb-cc-dd-ee-ff");
}

}  // namespace
}  // namespace talvik
