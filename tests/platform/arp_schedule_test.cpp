#include <gtest/gtest.h>

#include "platform/ArpSchedule.h"

namespace talvik {
namespace {

using std::chrono::milliseconds;

TEST(ArpSchedule, TextIsReadStrictlyAndTheDefaultSurvivesIt) {
    const auto back = ArpSchedule::FromText(ArpSchedule{}.ToText());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sends, ArpSchedule{}.sends);
    EXPECT_EQ(back->giveUp, ArpSchedule{}.giveUp);
    const auto one = ArpSchedule::FromText("0/1000");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->sends, std::vector<milliseconds>{milliseconds(0)});
    EXPECT_EQ(one->giveUp, milliseconds(1000));
    EXPECT_TRUE(ArpSchedule::FromText("0,1,2,3,4,5,6,7/250"));

    for (const char* bad :
         {"", "/", "0", "0/", "/250", "5/250", "0,0/250", "0,80,40/250", "0,250/250", "0,-5/250",
          "0, 75/250", "0,75/250 ", "0,,75/250", "0/250/1", "0/10001", "0x10/250",
          "0,1,2,3,4,5,6,7,8/250", "0,99999999999999999999/250"}) {
        EXPECT_FALSE(ArpSchedule::FromText(bad)) << '"' << bad << '"';
    }
}

TEST(SendPacer, LetsABurstGoThenSpacesFramesOut) {
    SendPacer pacer(1000, 4);  // one frame a millisecond, four at once
    const SendPacer::Clock::time_point t0 = SendPacer::Clock::now();
    // An idle spell refills the burst, but never beyond it.
    for (const auto now : {t0, t0 + milliseconds(100)}) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(pacer.Reserve(now), now) << i;
        }
        EXPECT_EQ(pacer.Reserve(now), now + milliseconds(1));
        EXPECT_EQ(pacer.Reserve(now), now + milliseconds(2));
    }
}

}  // namespace
}  // namespace talvik
